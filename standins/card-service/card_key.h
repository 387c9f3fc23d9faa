#pragma once
// The "card" of the stand-in: a certificate and its private key read from PEM files, and the
// detached CMS signatures made with them.

#include <memory>
#include <string>
#include <string_view>

#include <openssl/evp.h>
#include <openssl/x509.h>

namespace korvalo::cardservice {

// An OpenSSL engine, loaded and made the default for the algorithms it offers, so that keys
// of those algorithms can be read and used. Keep it alive while such keys are in use.
class CryptoEngine {
public:
    explicit CryptoEngine(const std::string& id);  // throws std::runtime_error
    ~CryptoEngine();
    CryptoEngine(const CryptoEngine&) = delete;
    CryptoEngine& operator=(const CryptoEngine&) = delete;

private:
    struct engine_st* FEngine = nullptr;
};

struct X509Deleter {
    void operator()(X509* cert) const { X509_free(cert); }
};
struct EvpPkeyDeleter {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};

class CardKey {
public:
    // Reads both files; throws std::runtime_error when one cannot be read or the key does not
    // belong to the certificate.
    CardKey(const std::string& certFile, const std::string& keyFile, const std::string& password);

    // DER CMS SignedData over data: the certificate included, a signing-time attribute, the
    // key's mandatory digest (GOST keys) or SHA-256. Without the content when detached.
    // Throws std::runtime_error with OpenSSL's reason on failure.
    std::string Sign(std::string_view data, bool detached) const;

private:
    std::unique_ptr<X509, X509Deleter> FCert;
    std::unique_ptr<EVP_PKEY, EvpPkeyDeleter> FKey;
};

}  // namespace korvalo::cardservice
