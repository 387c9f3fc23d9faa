#pragma once
// Verifies detached CMS signatures with OpenSSL and describes who signed, with which digest
// and when, and whether the signer's certificate chains to the demo CA.

#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <openssl/x509_vfy.h>

namespace korvalo::demo {

struct SignerReport {
    std::string commonName;
    std::string surname;
    std::string givenName;  // 2.5.4.42
    std::string name;       // 2.5.4.41, the given names as some issuers write them
    std::string organization;
    std::string unit;
    std::string subject;     // the whole subject, RFC 2253 form, UTF-8
    std::string issuer;      // the issuer, the same form
    std::string serial;      // upper-case hexadecimal, most significant byte first
    std::string serialText;  // the same bytes grouped as Korvalo's certificateNum names them
    std::string digestName;  // OpenSSL's short name of the digest, or the OID when unknown
    std::string digestOid;
    std::optional<std::string> signingTime;  // "YYYY-MM-DDTHH:MM:SSZ" from the signed attribute
    bool chainsToCa = false;
    std::string chainError;  // why the certificate does not chain to the demo CA
};

struct SignatureReport {
    bool verified = false;  // the signature is intact over the given content
    std::string error;      // OpenSSL's error text when it is not
    std::vector<SignerReport> signers;

    nlohmann::ordered_json ToJson() const;
};

// Korvalo's text for a serial number: the DER INTEGER content bytes (a leading 00 of a positive
// number included), most significant first, two upper-case hexadecimal digits each, with a
// blank between groups of two bytes counted from the least significant end.
std::string SerialText(std::string_view derContent);

class SignatureChecker {
public:
    // caFile: PEM file with the demo CA certificate(s); an empty path checks no chain.
    explicit SignatureChecker(const std::filesystem::path& caFile);
    ~SignatureChecker();
    SignatureChecker(const SignatureChecker&) = delete;
    SignatureChecker& operator=(const SignatureChecker&) = delete;

    // Checks a detached CMS signature (DER) over content.
    SignatureReport VerifyDetached(std::string_view der, std::string_view content) const;
    // The same for Base64 text, with or without line breaks.
    SignatureReport VerifyDetachedBase64(std::string_view base64, std::string_view content) const;

    bool HasCa() const { return FStore != nullptr; }

private:
    struct StoreDeleter {
        void operator()(X509_STORE* p) const noexcept { X509_STORE_free(p); }
    };
    std::unique_ptr<X509_STORE, StoreDeleter> FStore;
};

}  // namespace korvalo::demo
