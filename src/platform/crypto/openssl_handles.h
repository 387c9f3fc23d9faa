#pragma once
// Owners of the OpenSSL objects that several parts of Korvalo hold: certificates, keys, BIOs,
// object identifiers, PKCS#12 files and their parts, CMS messages and OpenSSL's own memory,
// each freed by its own OpenSSL call.

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/evp.h>
#include <openssl/pkcs12.h>
#include <openssl/x509.h>

#include <memory>

namespace korvalo {

struct X509Deleter {
    void operator()(X509* p) const noexcept { X509_free(p); }
};
struct EvpPkeyDeleter {
    void operator()(EVP_PKEY* p) const noexcept { EVP_PKEY_free(p); }
};
struct BioDeleter {
    void operator()(BIO* p) const noexcept { BIO_free(p); }
};
struct Asn1ObjectDeleter {
    void operator()(ASN1_OBJECT* p) const noexcept { ASN1_OBJECT_free(p); }
};
struct Pkcs12Deleter {
    void operator()(PKCS12* p) const noexcept { PKCS12_free(p); }
};
struct CmsDeleter {
    void operator()(CMS_ContentInfo* p) const noexcept { CMS_ContentInfo_free(p); }
};

using X509Ptr = std::unique_ptr<X509, X509Deleter>;
using EvpPkeyPtr = std::unique_ptr<EVP_PKEY, EvpPkeyDeleter>;
using BioPtr = std::unique_ptr<BIO, BioDeleter>;
using Asn1ObjectPtr = std::unique_ptr<ASN1_OBJECT, Asn1ObjectDeleter>;
using Pkcs12Ptr = std::unique_ptr<PKCS12, Pkcs12Deleter>;
using CmsPtr = std::unique_ptr<CMS_ContentInfo, CmsDeleter>;

struct Pkcs7StackDeleter {
    void operator()(STACK_OF(PKCS7) * p) const noexcept { sk_PKCS7_pop_free(p, PKCS7_free); }
};
struct SafeBagStackDeleter {
    void operator()(STACK_OF(PKCS12_SAFEBAG) * p) const noexcept {
        sk_PKCS12_SAFEBAG_pop_free(p, PKCS12_SAFEBAG_free);
    }
};
struct X509StackDeleter {
    void operator()(STACK_OF(X509) * p) const noexcept { sk_X509_pop_free(p, X509_free); }
};
struct OpenSslFree {
    void operator()(void* p) const noexcept { OPENSSL_free(p); }
};
using Pkcs7StackPtr = std::unique_ptr<STACK_OF(PKCS7), Pkcs7StackDeleter>;
using SafeBagStackPtr = std::unique_ptr<STACK_OF(PKCS12_SAFEBAG), SafeBagStackDeleter>;
using X509StackPtr = std::unique_ptr<STACK_OF(X509), X509StackDeleter>;
// Memory that OpenSSL allocated for the caller.
template <typename T>
using OsslMem = std::unique_ptr<T, OpenSslFree>;

}  // namespace korvalo
