#include "support/softhsm_tokens.h"

#include <dlfcn.h>

#include <cstdlib>
#include <deque>
#include <memory>
#include <stdexcept>

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <p11-kit/pkcs11.h>

#include "platform/crypto/openssl_handles.h"

namespace korvalo::testing {

namespace fs = std::filesystem;

namespace {

constexpr char kSoPin[] = "12345678";

struct DlCloser {
    void operator()(void* handle) const noexcept { dlclose(handle); }
};
struct BnDeleter {
    void operator()(BIGNUM* p) const noexcept { BN_free(p); }
};

void Check(CK_RV rv, const std::string& what) {
    if (rv != CKR_OK)
        throw std::runtime_error("SoftHSM token fixture: " + what + " failed, CKR " +
                                 std::to_string(rv));
}

// Attribute templates whose values live as long as the template.
class Template {
public:
    Template& Add(CK_ATTRIBUTE_TYPE type, std::string value) {
        values_.push_back(std::move(value));
        std::string& v = values_.back();
        attributes_.push_back({type, v.data(), static_cast<CK_ULONG>(v.size())});
        return *this;
    }
    Template& Ulong(CK_ATTRIBUTE_TYPE type, CK_ULONG value) {
        return Add(type, std::string(reinterpret_cast<const char*>(&value), sizeof value));
    }
    Template& Bool(CK_ATTRIBUTE_TYPE type, bool value) {
        return Add(type, std::string(1, value ? CK_TRUE : CK_FALSE));
    }
    CK_ATTRIBUTE* Data() { return attributes_.data(); }
    CK_ULONG Size() const { return static_cast<CK_ULONG>(attributes_.size()); }

private:
    std::deque<std::string> values_;
    std::vector<CK_ATTRIBUTE> attributes_;
};

std::string BnParam(EVP_PKEY* key, const char* name, std::size_t width = 0) {
    BIGNUM* raw = nullptr;
    if (EVP_PKEY_get_bn_param(key, name, &raw) != 1)
        throw std::runtime_error(std::string("SoftHSM token fixture: key has no ") + name);
    std::unique_ptr<BIGNUM, BnDeleter> bn(raw);
    std::string out(std::max<std::size_t>(width, BN_num_bytes(bn.get())), '\0');
    BN_bn2binpad(bn.get(), reinterpret_cast<unsigned char*>(out.data()),
                 static_cast<int>(out.size()));
    return out;
}

template <typename T, int (*I2d)(const T*, unsigned char**)>
std::string Der(const T* object) {
    unsigned char* der = nullptr;
    const int len = I2d(object, &der);
    if (len <= 0)
        throw std::runtime_error("SoftHSM token fixture: DER encoding failed");
    std::string out(reinterpret_cast<const char*>(der), static_cast<std::size_t>(len));
    OPENSSL_free(der);
    return out;
}

X509Ptr ReadCert(const std::string& name) {
    BioPtr bio(BIO_new_file(TokenFixture(name).c_str(), "r"));
    X509Ptr cert(bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    if (!cert)
        throw std::runtime_error("SoftHSM token fixture: cannot read " + name);
    return cert;
}

EvpPkeyPtr ReadKey(const std::string& name) {
    BioPtr bio(BIO_new_file(TokenFixture(name).c_str(), "r"));
    EvpPkeyPtr key(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    if (!key)
        throw std::runtime_error("SoftHSM token fixture: cannot read " + name);
    return key;
}

// The EC parameters and point of an EC key as PKCS#11 keeps them (DER).
void EcAttributes(EVP_PKEY* key, std::string& params, std::string& point) {
    char group[64];
    std::size_t groupLen = 0;
    if (EVP_PKEY_get_utf8_string_param(key, OSSL_PKEY_PARAM_GROUP_NAME, group, sizeof group,
                                       &groupLen) != 1) {
        throw std::runtime_error("SoftHSM token fixture: EC key without a group");
    }
    Asn1ObjectPtr oid(OBJ_txt2obj(group, 0));
    params = Der<ASN1_OBJECT, i2d_ASN1_OBJECT>(oid.get());
    unsigned char octets[256];
    std::size_t octetsLen = 0;
    if (EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_PUB_KEY, octets, sizeof octets,
                                        &octetsLen) != 1 ||
        octetsLen >= 128) {
        throw std::runtime_error("SoftHSM token fixture: EC key without a point");
    }
    point = std::string(1, '\x04') + std::string(1, static_cast<char>(octetsLen)) +
            std::string(reinterpret_cast<const char*>(octets), octetsLen);
}

void StoreObject(CK_FUNCTION_LIST* p11, CK_SESSION_HANDLE session, const TokenObject& object) {
    auto create = [&](Template& t, const char* what) {
        CK_OBJECT_HANDLE handle = 0;
        Check(p11->C_CreateObject(session, t.Data(), t.Size(), &handle), what);
    };
    if (!object.keyFile.empty()) {
        EvpPkeyPtr key = ReadKey(object.keyFile);
        const bool rsa = EVP_PKEY_get_base_id(key.get()) == EVP_PKEY_RSA;
        Template priv;
        priv.Ulong(CKA_CLASS, CKO_PRIVATE_KEY)
            .Ulong(CKA_KEY_TYPE, rsa ? CKK_RSA : CKK_EC)
            .Bool(CKA_TOKEN, true)
            .Bool(CKA_PRIVATE, true)
            .Bool(CKA_SENSITIVE, true)
            .Bool(CKA_SIGN, true)
            .Bool(CKA_ALWAYS_AUTHENTICATE, object.alwaysAuthenticate)
            .Add(CKA_ID, object.id)
            .Add(CKA_LABEL, object.label);
        Template pub;
        pub.Ulong(CKA_CLASS, CKO_PUBLIC_KEY)
            .Ulong(CKA_KEY_TYPE, rsa ? CKK_RSA : CKK_EC)
            .Bool(CKA_TOKEN, true)
            .Bool(CKA_PRIVATE, false)
            .Bool(CKA_VERIFY, true)
            .Add(CKA_ID, object.id)
            .Add(CKA_LABEL, object.label);
        if (rsa) {
            const std::string n = BnParam(key.get(), OSSL_PKEY_PARAM_RSA_N);
            const std::string e = BnParam(key.get(), OSSL_PKEY_PARAM_RSA_E);
            priv.Add(CKA_MODULUS, n)
                .Add(CKA_PUBLIC_EXPONENT, e)
                .Add(CKA_PRIVATE_EXPONENT, BnParam(key.get(), OSSL_PKEY_PARAM_RSA_D))
                .Add(CKA_PRIME_1, BnParam(key.get(), OSSL_PKEY_PARAM_RSA_FACTOR1))
                .Add(CKA_PRIME_2, BnParam(key.get(), OSSL_PKEY_PARAM_RSA_FACTOR2))
                .Add(CKA_EXPONENT_1, BnParam(key.get(), OSSL_PKEY_PARAM_RSA_EXPONENT1))
                .Add(CKA_EXPONENT_2, BnParam(key.get(), OSSL_PKEY_PARAM_RSA_EXPONENT2))
                .Add(CKA_COEFFICIENT, BnParam(key.get(), OSSL_PKEY_PARAM_RSA_COEFFICIENT1));
            pub.Add(CKA_MODULUS, n).Add(CKA_PUBLIC_EXPONENT, e);
        } else {
            std::string params;
            std::string point;
            EcAttributes(key.get(), params, point);
            priv.Add(CKA_EC_PARAMS, params)
                .Add(CKA_VALUE, BnParam(key.get(), OSSL_PKEY_PARAM_PRIV_KEY, 32));
            pub.Add(CKA_EC_PARAMS, params).Add(CKA_EC_POINT, point);
        }
        create(priv, "storing the private key");
        if (object.publicKey)
            create(pub, "storing the public key");
    }
    if (!object.certFile.empty()) {
        X509Ptr cert = ReadCert(object.certFile);
        Template t;
        t.Ulong(CKA_CLASS, CKO_CERTIFICATE)
            .Ulong(CKA_CERTIFICATE_TYPE, CKC_X_509)
            .Bool(CKA_TOKEN, true)
            .Bool(CKA_PRIVATE, false)
            .Add(CKA_ID, object.id)
            .Add(CKA_LABEL, object.label)
            .Add(CKA_SUBJECT, Der<X509_NAME, i2d_X509_NAME>(X509_get_subject_name(cert.get())))
            .Add(CKA_ISSUER, Der<X509_NAME, i2d_X509_NAME>(X509_get_issuer_name(cert.get())))
            .Add(CKA_SERIAL_NUMBER,
                 Der<ASN1_INTEGER, i2d_ASN1_INTEGER>(X509_get0_serialNumber(cert.get())))
            .Add(CKA_VALUE, Der<X509, i2d_X509>(cert.get()));
        create(t, "storing the certificate");
    }
}

std::string Padded(const std::string& label) {
    std::string padded = label.substr(0, 32);
    padded.resize(32, ' ');
    return padded;
}

}  // namespace

std::string SoftHsmModulePath() {
    return KORVALO_SOFTHSM_MODULE;
}

std::string FaultModulePath() {
    return KORVALO_FAULT_MODULE;
}

fs::path TokenFixture(const std::string& name) {
    return fs::path(KORVALO_TOKEN_FIXTURES) / name;
}

TokenObject RsaObject(std::string id, std::string label) {
    return TokenObject{"rsa.pem", "rsa.key", std::move(id), std::move(label)};
}

TokenObject EcObject(std::string id, std::string label) {
    return TokenObject{"ec.pem", "ec.key", std::move(id), std::move(label)};
}

SoftHsmTokens::SoftHsmTokens() {
    fs::create_directory(dir_ / "tokens");
    WriteBytes(dir_ / "softhsm2.conf", "directories.tokendir = " + (dir_ / "tokens").string() +
                                           "\nobjectstore.backend = file\nlog.level = ERROR\n"
                                           "slots.removable = false\n");
    if (const char* old = std::getenv("SOFTHSM2_CONF"))
        previousConf_ = old;
    setenv("SOFTHSM2_CONF", (dir_ / "softhsm2.conf").c_str(), 1);
}

SoftHsmTokens::~SoftHsmTokens() {
    if (previousConf_)
        setenv("SOFTHSM2_CONF", previousConf_->c_str(), 1);
    else
        unsetenv("SOFTHSM2_CONF");
}

void SoftHsmTokens::AddToken(const TokenContents& recipe) {
    std::unique_ptr<void, DlCloser> library(dlopen(KORVALO_SOFTHSM_MODULE, RTLD_NOW | RTLD_LOCAL));
    if (!library)
        throw std::runtime_error(std::string("SoftHSM token fixture: ") + dlerror());
    auto getList =
        reinterpret_cast<CK_C_GetFunctionList>(dlsym(library.get(), "C_GetFunctionList"));
    CK_FUNCTION_LIST* p11 = nullptr;
    if (getList == nullptr || getList(&p11) != CKR_OK)
        throw std::runtime_error("SoftHSM token fixture: no function list");
    Check(p11->C_Initialize(nullptr), "C_Initialize (make tokens before loading modules)");
    struct Finalize {
        CK_FUNCTION_LIST* p11;
        ~Finalize() { p11->C_Finalize(nullptr); }
    } finalize{p11};

    auto slots = [&] {
        CK_ULONG count = 0;
        Check(p11->C_GetSlotList(CK_FALSE, nullptr, &count), "C_GetSlotList");
        std::vector<CK_SLOT_ID> list(count);
        Check(p11->C_GetSlotList(CK_FALSE, list.data(), &count), "C_GetSlotList");
        list.resize(count);
        return list;
    };
    std::optional<CK_SLOT_ID> free;
    for (CK_SLOT_ID slot : slots()) {
        CK_TOKEN_INFO info{};
        if (p11->C_GetTokenInfo(slot, &info) == CKR_OK && !(info.flags & CKF_TOKEN_INITIALIZED)) {
            free = slot;
            break;
        }
    }
    if (!free)
        throw std::runtime_error("SoftHSM token fixture: no free slot");
    const std::string label = Padded(recipe.label);
    Check(p11->C_InitToken(*free, reinterpret_cast<CK_UTF8CHAR*>(const_cast<char*>(kSoPin)),
                           sizeof kSoPin - 1,
                           reinterpret_cast<CK_UTF8CHAR*>(const_cast<char*>(label.data()))),
          "C_InitToken");
    // SoftHSM gives an initialised token a slot number of its own.
    std::optional<CK_SLOT_ID> slot;
    for (CK_SLOT_ID candidate : slots()) {
        CK_TOKEN_INFO info{};
        if (p11->C_GetTokenInfo(candidate, &info) == CKR_OK &&
            (info.flags & CKF_TOKEN_INITIALIZED) &&
            std::string(reinterpret_cast<const char*>(info.label), 32) == label) {
            slot = candidate;
        }
    }
    if (!slot)
        throw std::runtime_error("SoftHSM token fixture: the new token is not found");
    CK_SESSION_HANDLE session = 0;
    Check(
        p11->C_OpenSession(*slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &session),
        "C_OpenSession");
    auto pin = [](const std::string& text) {
        return reinterpret_cast<CK_UTF8CHAR*>(const_cast<char*>(text.data()));
    };
    Check(p11->C_Login(session, CKU_SO, pin(kSoPin), sizeof kSoPin - 1), "SO login");
    Check(p11->C_InitPIN(session, pin(recipe.userPin), recipe.userPin.size()), "C_InitPIN");
    Check(p11->C_Logout(session), "C_Logout");
    Check(p11->C_Login(session, CKU_USER, pin(recipe.userPin), recipe.userPin.size()),
          "user login");
    for (const TokenObject& object : recipe.objects)
        StoreObject(p11, session, object);
    p11->C_CloseSession(session);
}

// ---- FaultModule ----------------------------------------------------------------------------

FaultModule::FaultModule() {
    handle_ = dlopen(KORVALO_FAULT_MODULE, RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr)
        throw std::runtime_error(std::string("fault module: ") + dlerror());
    set_ = reinterpret_cast<void (*)(const char*, long)>(dlsym(handle_, "korvalo_fault_set"));
    setPin_ = reinterpret_cast<void (*)(const char*)>(dlsym(handle_, "korvalo_fault_set_pin"));
    get_ = reinterpret_cast<long (*)(const char*)>(dlsym(handle_, "korvalo_fault_get"));
    if (set_ == nullptr || setPin_ == nullptr || get_ == nullptr)
        throw std::runtime_error("fault module: control functions missing");
    set_("reset", 0);
}

FaultModule::~FaultModule() {
    set_("reset", 0);
    dlclose(handle_);
}

void FaultModule::LockPin(bool locked) {
    set_("locked", locked ? 1 : 0);
}

void FaultModule::PinPad(const std::string& pin) {
    setPin_(pin.c_str());
}

void FaultModule::RemoveAfterSignatures(int count) {
    set_("removeAfterSigns", count);
}

void FaultModule::Remove() {
    set_("removed", 1);
}

void FaultModule::Insert() {
    set_("removed", 0);
}

long FaultModule::UserLogins() const {
    return get_("userLogins");
}

long FaultModule::SignatureLogins() const {
    return get_("contextLogins");
}

long FaultModule::Signatures() const {
    return get_("signs");
}

}  // namespace korvalo::testing
