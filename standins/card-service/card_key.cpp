// The engine interface is the way to reach the GOST algorithms of libengine-gost-openssl.
#define OPENSSL_SUPPRESS_DEPRECATED
#include "card_key.h"

#include <openssl/engine.h>

#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/err.h>
#include <openssl/pem.h>

#include <climits>
#include <cstring>
#include <stdexcept>

namespace korvalo::cardservice {

namespace {

struct BioDeleter {
    void operator()(BIO* bio) const { BIO_free_all(bio); }
};
using BioPtr = std::unique_ptr<BIO, BioDeleter>;

struct CmsDeleter {
    void operator()(CMS_ContentInfo* cms) const { CMS_ContentInfo_free(cms); }
};
using CmsPtr = std::unique_ptr<CMS_ContentInfo, CmsDeleter>;

[[noreturn]] void ThrowOpenSsl(const std::string& what) {
    std::string text = what;
    if (const unsigned long code = ERR_get_error(); code != 0) {
        char reason[256];
        ERR_error_string_n(code, reason, sizeof reason);
        text += ": ";
        text += reason;
    }
    ERR_clear_error();
    throw std::runtime_error(text);
}

BioPtr OpenFile(const std::string& file) {
    BioPtr bio(BIO_new_file(file.c_str(), "rb"));
    if (!bio)
        ThrowOpenSsl("cannot open " + file);
    return bio;
}

int PasswordCallback(char* buf, int size, int, void* user) {
    const auto* password = static_cast<const std::string*>(user);
    const int n = static_cast<int>(std::min<std::size_t>(password->size(), size));
    std::memcpy(buf, password->data(), static_cast<std::size_t>(n));
    return n;
}

// A key whose algorithm fixes its digest (GOST) signs with it; every other with SHA-256.
const EVP_MD* DigestFor(EVP_PKEY* key) {
    int nid = 0;
    if (EVP_PKEY_get_default_digest_nid(key, &nid) == 2)
        return EVP_get_digestbynid(nid);
    return EVP_sha256();
}

}  // namespace

CryptoEngine::CryptoEngine(const std::string& id) {
    FEngine = ENGINE_by_id(id.c_str());
    if (FEngine == nullptr)
        ThrowOpenSsl("no OpenSSL engine " + id);
    if (ENGINE_init(FEngine) != 1) {
        ENGINE_free(FEngine);
        ThrowOpenSsl("cannot start the OpenSSL engine " + id);
    }
    if (ENGINE_set_default(FEngine, ENGINE_METHOD_ALL) != 1) {
        ENGINE_finish(FEngine);
        ENGINE_free(FEngine);
        ThrowOpenSsl("cannot use the OpenSSL engine " + id);
    }
}

CryptoEngine::~CryptoEngine() {
    ENGINE_finish(FEngine);
    ENGINE_free(FEngine);
}

CardKey::CardKey(const std::string& certFile, const std::string& keyFile,
                 const std::string& password) {
    BioPtr certBio = OpenFile(certFile);
    FCert.reset(PEM_read_bio_X509(certBio.get(), nullptr, nullptr, nullptr));
    if (!FCert)
        ThrowOpenSsl("no PEM certificate in " + certFile);
    BioPtr keyBio = OpenFile(keyFile);
    std::string pass = password;
    FKey.reset(PEM_read_bio_PrivateKey(keyBio.get(), nullptr, &PasswordCallback, &pass));
    if (!FKey)
        ThrowOpenSsl("no PEM private key in " + keyFile);
    if (X509_check_private_key(FCert.get(), FKey.get()) != 1)
        ThrowOpenSsl("the key in " + keyFile + " does not belong to the certificate in " +
                     certFile);
}

std::string CardKey::Sign(std::string_view data, bool detached) const {
    const unsigned flags =
        CMS_BINARY | CMS_PARTIAL | CMS_NOSMIMECAP | (detached ? CMS_DETACHED : 0u);
    if (data.size() > static_cast<std::size_t>(INT_MAX))
        throw std::length_error("the data to sign is larger than OpenSSL can take at once");
    BioPtr content(BIO_new_mem_buf(data.data(), static_cast<int>(data.size())));
    if (!content)
        ThrowOpenSsl("cannot buffer the data");
    CmsPtr cms(CMS_sign(nullptr, nullptr, nullptr, nullptr, flags));
    if (!cms)
        ThrowOpenSsl("CMS_sign");
    const EVP_MD* md = DigestFor(FKey.get());
    if (md == nullptr)
        ThrowOpenSsl("the key's digest is not available");
    if (CMS_add1_signer(cms.get(), FCert.get(), FKey.get(), md, flags) == nullptr)
        ThrowOpenSsl("CMS_add1_signer");
    if (CMS_final(cms.get(), content.get(), nullptr, flags) != 1)
        ThrowOpenSsl("CMS_final");
    BioPtr out(BIO_new(BIO_s_mem()));
    if (!out || i2d_CMS_bio(out.get(), cms.get()) != 1)
        ThrowOpenSsl("cannot encode the CMS");
    char* bytes = nullptr;
    const long size = BIO_get_mem_data(out.get(), &bytes);
    return std::string(bytes, static_cast<std::size_t>(size));
}

}  // namespace korvalo::cardservice
