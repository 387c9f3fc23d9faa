#pragma once
// What the certificate store reads its files with: whole small files, memory BIOs, the
// extension check, and the fields of an X.509 certificate as the store shows them.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "platform/crypto/openssl_handles.h"

namespace korvalo {

// The personal certificate a store file holds, or the Russian reason why it is not listed.
struct ListedCertificate {
    X509Ptr cert;         // set when the file lists a certificate
    std::string problem;  // otherwise why not
};

// Store files are small; anything larger is not a certificate file.
inline constexpr std::uintmax_t kMaxStoreFileSize = 4u * 1024 * 1024;

// A read-only BIO over bytes (which must outlive it); null when it cannot be made (also for
// more than INT_MAX bytes, which OpenSSL's int length cannot hold).
BioPtr MemBio(std::string_view bytes);

// Reads a whole small file; returns 0 or a platform error code (kErrorFileTooLarge over
// kMaxStoreFileSize).
[[nodiscard]] std::uint32_t ReadSmallFile(const std::filesystem::path& file, std::string& out);

// Whether the file name ends in ext (".pem"), in any letter case.
bool HasExtensionNoCase(const std::filesystem::path& file, std::string_view ext);

// The first attribute of that object identifier in name, as UTF-8; "" when there is none.
std::string NamePart(const X509_NAME* name, std::string_view oid);
// An ASN.1 time as a UTC time point (the epoch when unreadable).
std::chrono::system_clock::time_point ToTimePoint(const ASN1_TIME* t);
// Serial bytes least significant first: the DER INTEGER content, reversed; "" when none.
std::string SerialBytesOf(X509* cert);
// Whether the certificate is a certification authority's.
bool IsCa(X509* cert);
// Whether key is the private key of cert.
bool KeyMatches(X509* cert, EVP_PKEY* key);

}  // namespace korvalo
