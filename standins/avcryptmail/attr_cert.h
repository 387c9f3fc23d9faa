#pragma once
// Attribute certificates (RFC 5755) as the stand-in AvCryptMail keeps and attaches them.

#include <chrono>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <openssl/evp.h>
#include <openssl/x509.h>

namespace korvalo::avcm {

struct AttributeCertificateData;  // the decoded ASN.1 structure

// One decoded attribute certificate. Its signature is not checked here: the issuer (the
// attribute authority) is not part of the certificate store.
class AttributeCertificate {
public:
    // Decodes DER bytes; nothing when they are not one whole attribute certificate.
    static std::optional<AttributeCertificate> Parse(std::string_view der);

    AttributeCertificate(AttributeCertificate&&) noexcept;
    AttributeCertificate& operator=(AttributeCertificate&&) noexcept;
    ~AttributeCertificate();

    const std::string& Der() const noexcept { return der_; }

    // Whether the holder names cert: its baseCertificateID (issuer name and serial number),
    // or else an entityName whose directory name is the certificate's subject.
    bool HolderIs(const X509* cert) const;

    // -1 when at is before the validity period, 1 when after it, 0 inside it.
    int TimeValidity(std::time_t at) const;

    // The serial number as upper-case hexadecimal text.
    std::string SerialHex() const;

private:
    AttributeCertificate(std::unique_ptr<AttributeCertificateData> data, std::string der);

    std::unique_ptr<AttributeCertificateData> data_;
    std::string der_;
};

// What a new attribute certificate says (used by fixtures and tools that make them).
struct AttributeCertificateRequest {
    const X509* holder = nullptr;  // the certificate the attributes belong to
    const X509* issuer = nullptr;  // the attribute authority's certificate
    EVP_PKEY* issuerKey = nullptr;
    long serial = 1;
    std::chrono::system_clock::time_point notBefore;
    std::chrono::system_clock::time_point notAfter;
    // Attributes: object identifier (dotted) and a UTF-8 text value each.
    std::vector<std::pair<std::string, std::string>> attributes;
};

// Makes and signs an attribute certificate (v2, holder by baseCertificateID, issuer in
// v2Form, SHA-256 unless the issuer key chooses its own digest). Returns the DER bytes, or
// nothing when OpenSSL refuses.
std::optional<std::string> MakeAttributeCertificate(const AttributeCertificateRequest& request);

}  // namespace korvalo::avcm
