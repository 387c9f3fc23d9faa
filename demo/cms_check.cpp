#include "cms_check.h"

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/cms.h>
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <climits>
#include <ctime>
#include <stdexcept>

#include "web_text.h"

namespace korvalo::demo {

namespace {

struct BioDeleter {
    void operator()(BIO* p) const noexcept { BIO_free(p); }
};
struct CmsDeleter {
    void operator()(CMS_ContentInfo* p) const noexcept { CMS_ContentInfo_free(p); }
};
struct X509StackDeleter {
    void operator()(STACK_OF(X509) * p) const noexcept { sk_X509_pop_free(p, X509_free); }
};
struct StoreCtxDeleter {
    void operator()(X509_STORE_CTX* p) const noexcept { X509_STORE_CTX_free(p); }
};
struct BignumDeleter {
    void operator()(BIGNUM* p) const noexcept { BN_free(p); }
};
struct OpenSslFree {
    void operator()(void* p) const noexcept { OPENSSL_free(p); }
};
using BioPtr = std::unique_ptr<BIO, BioDeleter>;

// The OpenSSL error queue as one text, emptied.
std::string TakeOpenSslErrors(const std::string& fallback) {
    std::string text;
    const char* data = nullptr;
    int flags = 0;
    unsigned long code;
    while ((code = ERR_get_error_all(nullptr, nullptr, nullptr, &data, &flags)) != 0) {
        char buffer[256];
        ERR_error_string_n(code, buffer, sizeof buffer);
        if (!text.empty())
            text += "; ";
        text += buffer;
        if (data != nullptr && (flags & ERR_TXT_STRING) && *data != '\0') {
            text += " (";
            text += data;
            text += ")";
        }
    }
    return text.empty() ? fallback : text;
}

BioPtr MemoryBio(std::string_view bytes) {
    if (bytes.size() > static_cast<std::size_t>(INT_MAX))
        throw std::length_error("more bytes than OpenSSL can read at once");
    BioPtr bio(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
    if (!bio)
        throw std::bad_alloc();
    return bio;
}

std::string NameEntry(const X509_NAME* name, int nid) {
    const int index = X509_NAME_get_index_by_NID(name, nid, -1);
    if (index < 0)
        return {};
    const ASN1_STRING* data = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, index));
    unsigned char* utf8 = nullptr;
    const int length = ASN1_STRING_to_UTF8(&utf8, data);
    if (length < 0)
        return {};
    std::unique_ptr<unsigned char, OpenSslFree> guard(utf8);
    return std::string(reinterpret_cast<char*>(utf8), static_cast<std::size_t>(length));
}

std::string NameText(const X509_NAME* name) {
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio)
        throw std::bad_alloc();
    X509_NAME_print_ex(bio.get(), name, 0, XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB);
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<std::size_t>(size));
}

std::string ObjectOid(const ASN1_OBJECT* object) {
    char buffer[128];
    const int n = OBJ_obj2txt(buffer, sizeof buffer, object, 1);
    return n > 0 ? std::string(buffer, std::min<std::size_t>(n, sizeof buffer - 1)) : std::string();
}

// The content bytes of the certificate's serial-number INTEGER as DER writes them.
std::string SerialContent(const X509* cert) {
    const ASN1_INTEGER* serial = X509_get0_serialNumber(cert);
    unsigned char* der = nullptr;
    const int length = i2d_ASN1_INTEGER(serial, &der);
    if (length < 2)
        return {};
    std::unique_ptr<unsigned char, OpenSslFree> guard(der);
    std::size_t start = 2;
    if (der[1] & 0x80)
        start += der[1] & 0x7F;
    if (start > static_cast<std::size_t>(length))
        return {};
    return std::string(reinterpret_cast<char*>(der) + start,
                       static_cast<std::size_t>(length) - start);
}

std::string SerialHex(const X509* cert) {
    std::unique_ptr<BIGNUM, BignumDeleter> bn(
        ASN1_INTEGER_to_BN(X509_get0_serialNumber(cert), nullptr));
    if (!bn)
        return {};
    std::unique_ptr<char, OpenSslFree> hex(BN_bn2hex(bn.get()));
    return hex ? std::string(hex.get()) : std::string();
}

std::optional<std::string> SigningTime(CMS_SignerInfo* si) {
    const int index = CMS_signed_get_attr_by_NID(si, NID_pkcs9_signingTime, -1);
    if (index < 0)
        return std::nullopt;
    X509_ATTRIBUTE* attribute = CMS_signed_get_attr(si, index);
    const ASN1_TYPE* value = attribute ? X509_ATTRIBUTE_get0_type(attribute, 0) : nullptr;
    if (value == nullptr)
        return std::nullopt;
    const ASN1_TIME* time = nullptr;
    if (value->type == V_ASN1_UTCTIME)
        time = value->value.utctime;
    else if (value->type == V_ASN1_GENERALIZEDTIME)
        time = value->value.generalizedtime;
    std::tm tm{};
    if (time == nullptr || ASN1_TIME_to_tm(time, &tm) != 1)
        return std::nullopt;
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return std::string(text);
}

}  // namespace

std::string SerialText(std::string_view derContent) {
    std::string text;
    const std::size_t n = derContent.size();
    for (std::size_t i = 0; i < n; ++i) {
        if (i > 0 && (n - i) % 2 == 0)
            text += ' ';
        text += HexUpper(derContent.substr(i, 1));
    }
    return text;
}

nlohmann::ordered_json SignatureReport::ToJson() const {
    nlohmann::ordered_json json;
    json["verified"] = verified;
    json["error"] = error;
    const auto signerJson = [](const SignerReport& s) {
        nlohmann::ordered_json j;
        j["signer"] = {{"commonName", s.commonName},
                       {"surname", s.surname},
                       {"givenName", s.givenName},
                       {"name", s.name},
                       {"organization", s.organization},
                       {"unit", s.unit},
                       {"subject", s.subject},
                       {"issuer", s.issuer},
                       {"serial", s.serial},
                       {"serialText", s.serialText}};
        j["digest"] = {{"name", s.digestName}, {"oid", s.digestOid}};
        j["signingTime"] = s.signingTime ? nlohmann::ordered_json(*s.signingTime) : nullptr;
        j["chainsToCa"] = s.chainsToCa;
        j["chainError"] = s.chainError;
        return j;
    };
    if (signers.empty()) {
        json["signer"] = nullptr;
        json["digest"] = nullptr;
        json["signingTime"] = nullptr;
        json["chainsToCa"] = false;
        json["chainError"] = "no signer";
    } else {
        json.update(signerJson(signers.front()));
        for (const SignerReport& s : signers)
            json["chainsToCa"] = json["chainsToCa"].get<bool>() && s.chainsToCa;
        if (signers.size() > 1) {
            json["otherSigners"] = nlohmann::ordered_json::array();
            for (std::size_t i = 1; i < signers.size(); ++i)
                json["otherSigners"].push_back(signerJson(signers[i]));
        }
    }
    return json;
}

SignatureChecker::SignatureChecker(const std::filesystem::path& caFile) {
    if (caFile.empty())
        return;
    FStore.reset(X509_STORE_new());
    if (!FStore)
        throw std::bad_alloc();
    ERR_clear_error();
    if (X509_STORE_load_file(FStore.get(), caFile.c_str()) != 1)
        throw std::runtime_error("cannot read the CA certificates from " + caFile.string() + ": " +
                                 TakeOpenSslErrors("no certificate"));
}

SignatureChecker::~SignatureChecker() = default;

SignatureReport SignatureChecker::VerifyDetachedBase64(std::string_view base64,
                                                       std::string_view content) const {
    const std::optional<std::string> der = Base64Decode(base64);
    if (!der || der->empty()) {
        SignatureReport report;
        report.error = base64.empty() ? "the signature is empty" : "the signature is not Base64";
        return report;
    }
    return VerifyDetached(*der, content);
}

SignatureReport SignatureChecker::VerifyDetached(std::string_view der,
                                                 std::string_view content) const {
    SignatureReport report;
    ERR_clear_error();
    BioPtr input = MemoryBio(der);
    std::unique_ptr<CMS_ContentInfo, CmsDeleter> cms(d2i_CMS_bio(input.get(), nullptr));
    if (!cms) {
        report.error = "not a CMS message: " + TakeOpenSslErrors("unreadable DER");
        return report;
    }
    if (OBJ_obj2nid(CMS_get0_type(cms.get())) != NID_pkcs7_signed) {
        report.error = "the CMS message is not SignedData";
        return report;
    }
    if (CMS_is_detached(cms.get()) != 1) {
        report.error = "the signature is not detached: it carries the content inside";
        return report;
    }

    // Attach the signers' certificates from the message so that they can be described even when
    // the signature does not verify.
    CMS_set1_signers_certs(cms.get(), nullptr, 0);
    ERR_clear_error();
    std::unique_ptr<STACK_OF(X509), X509StackDeleter> carried(CMS_get1_certs(cms.get()));
    STACK_OF(CMS_SignerInfo)* infos = CMS_get0_SignerInfos(cms.get());
    for (int i = 0; i < sk_CMS_SignerInfo_num(infos); ++i) {
        CMS_SignerInfo* si = sk_CMS_SignerInfo_value(infos, i);
        EVP_PKEY* key = nullptr;
        X509* cert = nullptr;
        X509_ALGOR* digest = nullptr;
        X509_ALGOR* signatureAlg = nullptr;
        CMS_SignerInfo_get0_algs(si, &key, &cert, &digest, &signatureAlg);
        SignerReport signer;
        if (digest != nullptr) {
            const ASN1_OBJECT* oid = nullptr;
            X509_ALGOR_get0(&oid, nullptr, nullptr, digest);
            signer.digestOid = ObjectOid(oid);
            const int nid = OBJ_obj2nid(oid);
            signer.digestName = nid != NID_undef ? OBJ_nid2sn(nid) : signer.digestOid;
        }
        signer.signingTime = SigningTime(si);
        if (cert == nullptr) {
            signer.chainError = "the message does not carry the signer's certificate";
        } else {
            const X509_NAME* subject = X509_get_subject_name(cert);
            signer.commonName = NameEntry(subject, NID_commonName);
            signer.surname = NameEntry(subject, NID_surname);
            signer.givenName = NameEntry(subject, NID_givenName);
            signer.name = NameEntry(subject, NID_name);
            signer.organization = NameEntry(subject, NID_organizationName);
            signer.unit = NameEntry(subject, NID_organizationalUnitName);
            signer.subject = NameText(subject);
            signer.issuer = NameText(X509_get_issuer_name(cert));
            signer.serial = SerialHex(cert);
            signer.serialText = SerialText(SerialContent(cert));
            if (!FStore) {
                signer.chainError = "no demo CA given (--ca)";
            } else {
                std::unique_ptr<X509_STORE_CTX, StoreCtxDeleter> ctx(X509_STORE_CTX_new());
                if (!ctx || X509_STORE_CTX_init(ctx.get(), FStore.get(), cert, carried.get()) != 1)
                    throw std::bad_alloc();
                if (X509_verify_cert(ctx.get()) == 1) {
                    signer.chainsToCa = true;
                } else {
                    signer.chainError =
                        X509_verify_cert_error_string(X509_STORE_CTX_get_error(ctx.get()));
                }
            }
        }
        report.signers.push_back(std::move(signer));
    }
    ERR_clear_error();
    if (report.signers.empty()) {
        report.error = "the CMS message has no signer";
        return report;
    }

    BioPtr data = MemoryBio(content);
    if (CMS_verify(cms.get(), nullptr, nullptr, data.get(), nullptr,
                   CMS_BINARY | CMS_NO_SIGNER_CERT_VERIFY) == 1) {
        report.verified = true;
        ERR_clear_error();
    } else {
        report.error = TakeOpenSslErrors("the signature does not verify");
    }
    return report;
}

}  // namespace korvalo::demo
