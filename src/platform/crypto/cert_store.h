#pragma once
// The current user's personal certificate store ("MY") of this build: a folder of PEM and
// PKCS#12 files, each holding one personal certificate and its private key.
//
// Store layout
// - The folder is $KORVALO_CERT_STORE, or ~/.local/share/korvalo/certs/MY when it is not set.
//   A folder that does not exist yet is an empty store: it is created (mode 0700, as is every
//   missing folder above it) when the store is opened. A folder that cannot be created or
//   read, or a path that is no folder, is a store that cannot be opened.
// - Every regular file whose name ends in ".p12", ".pfx" or ".pem" (any letter case) is one
//   entry; entries are read in file-name order (byte order of the names), and that is the
//   store's order. Other files are ignored.
// - A ".pem" file holds the certificate and its private key (the key may be encrypted; its
//   password is asked for when the key is needed). Further certificates in the file (a CA
//   chain) are not personal certificates and are not listed. With several certificates the
//   personal one is the one that matches the key; when the key is encrypted and cannot be
//   compared without its password, the first certificate that is not a CA, else the first.
//   A PEM file without a private key is not a personal certificate: it is not listed.
// - A ".p12"/".pfx" file holds the certificate and its key, with or without a password. The
//   listing never asks for the password. It reads the certificate from the file when the
//   certificate is stored unencrypted, or encrypted without a password (or with the empty
//   one), which is how PKCS#12 files whose password only guards the key are made
//   (`openssl pkcs12 -export -certpbe NONE`). A file whose certificate is encrypted with the
//   password needs a companion certificate beside it: the same name with ".crt" or ".cer"
//   in place of the extension (PEM or DER); the key still comes from the PKCS#12 file. A
//   protected file without a readable certificate is not listed (it is reported in
//   Problems()). With several certificates in one file the personal one is the one whose
//   local key identifier matches the key's, else the only one, else the first that is not a
//   CA.
// - A file that cannot be read or parsed, and a certificate without a serial number, are
//   left out of the listing and reported in Problems(); they never stop the listing.
//
// Certificates whose keys live on tokens and smart cards join the store after the folder's
// (ITokenCertificates below: every token of the PKCS#11 modules the desktop has registered,
// and those the settings name); their keys are opened through the token.
//
// Serial numbers are kept least significant byte first, as the platform's store keeps them:
// the bytes of the DER INTEGER's content (a leading 00 of a positive number included),
// reversed.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <openssl/evp.h>
#include <openssl/x509.h>

#include "core/user_interface.h"
#include "platform/crypto/crypt_errors.h"
#include "platform/crypto/key_prompts.h"
#include "platform/crypto/openssl_handles.h"
#include "platform/crypto/signing_key.h"

namespace korvalo {

// ---- Object identifiers of the name parts ----------------------------------------------
inline constexpr std::string_view kOidCommonName = "2.5.4.3";
inline constexpr std::string_view kOidSurname = "2.5.4.4";
inline constexpr std::string_view kOidGivenName = "2.5.4.41";
inline constexpr std::string_view kOidOrganization = "2.5.4.10";
inline constexpr std::string_view kOidOrganizationalUnit = "2.5.4.11";
inline constexpr std::string_view kOidCountry = "2.5.4.6";

// The serial-number text: the bytes (least significant first) written most significant
// first, two upper-case hexadecimal digits each; with grouping, one space between groups of
// two bytes counted from the least significant end. Stored 01 02 03 04 05 gives
// "05 0403 0201" with grouping and "0504030201" without; an empty serial gives "".
std::string SerialToHex(std::string_view serialBytes, bool grouping);

// Where the "MY" store lives: $KORVALO_CERT_STORE when set and not empty, otherwise
// ~/.local/share/korvalo/certs/MY ($HOME; the user database when HOME is not set).
std::filesystem::path DefaultCertStoreLocation();

// Makes sure the store folder exists: creates it and every missing folder above it, each
// with mode 0700. False when it cannot be made or the path names something that is no folder.
[[nodiscard]] bool EnsureCertStoreFolder(const std::filesystem::path& folder);

// One personal certificate of the store.
class StoreCertificate {
public:
    // cert read from the store file file (a PKCS#12 file when pkcs12, else PEM).
    StoreCertificate(X509Ptr cert, std::filesystem::path file, bool pkcs12);
    // cert whose key lives outside the folder, in keySource (a token).
    StoreCertificate(X509Ptr cert, std::shared_ptr<const IKeySource> keySource);

    X509* Handle() const noexcept { return cert_.get(); }
    const std::string& Der() const noexcept { return der_; }

    // First attribute of that object identifier in the subject's or issuer's name, as UTF-8;
    // empty text when there is none.
    std::string SubjectPart(std::string_view oid) const;
    std::string IssuerPart(std::string_view oid) const;

    // Validity period, UTC.
    std::chrono::system_clock::time_point NotBefore() const noexcept { return notBefore_; }
    std::chrono::system_clock::time_point NotAfter() const noexcept { return notAfter_; }
    // -1 when at is before the start of validity, 1 when after its end, 0 when inside.
    int VerifyTimeValidity(std::chrono::system_clock::time_point at) const noexcept;
    bool IsValidNow() const noexcept;

    // Serial-number bytes, least significant first.
    const std::string& SerialBytes() const noexcept { return serial_; }
    // SerialToHex of SerialBytes().
    std::string SerialText(bool grouping = true) const;

    // Object identifier of the certificate's own signature algorithm ("1.2.643.7.1.1.3.2").
    std::string SignatureAlgorithmOid() const;

    // The store file (".pem", ".p12", ".pfx") that holds the certificate's key; the
    // certificate itself comes from it or from its companion certificate file. Empty for a
    // certificate whose key lives outside the folder.
    const std::filesystem::path& SourceFile() const noexcept { return file_; }
    // Where the key lives when it is not in a store file (a token); nullptr for the folder's.
    const IKeySource* KeySource() const noexcept { return keySource_.get(); }

    // Reads the private key from the key file. A protected key asks prompt for its password
    // (what = the key file's name): a wrong password asks again with retry = true, a
    // cancelled prompt gives kErrorCancelled. Without a prompt a protected key gives
    // kNteSilentContext. A key that does not belong to this certificate gives
    // kCryptENoKeyProperty; a missing or unreadable file kNteBadKeyset; a damaged key
    // kNteBadKey. A certificate whose key lives outside the folder gives kNteNotSupported.
    KeyResult LoadPrivateKey(IKeyPasswordPrompt* prompt) const;

    // Ok when the certificate's key can sign in this build at all (a token key of a kind the
    // token layer cannot use cannot); checked before a signature is begun.
    [[nodiscard]] KeyStatus KeySupported() const;
    // Opens the certificate's key for the signatures of one signing call: the key file's key
    // (LoadPrivateKey), or the token's key with the token logged in (its PIN asked through
    // prompt). The certificate must outlive the key.
    OpenedKey OpenKey(IKeyPasswordPrompt* prompt) const;

private:
    X509Ptr cert_;
    std::string der_;
    std::string serial_;
    std::chrono::system_clock::time_point notBefore_;
    std::chrono::system_clock::time_point notAfter_;
    std::filesystem::path file_;
    bool pkcs12_ = false;
    std::shared_ptr<const IKeySource> keySource_;
};

// A store file that was left out of the listing, and why (Russian text).
struct StoreProblem {
    std::filesystem::path file;
    std::string reason;
};

// The certificates of tokens and smart cards, which the store lists after its folder's.
class ITokenCertificates {
public:
    virtual ~ITokenCertificates() = default;
    // Appends the certificates of every token present now, in a stable order, without asking
    // for a PIN; modules are further PKCS#11 modules to look at besides the registered ones.
    // What cannot be read goes to problems (file: the module).
    virtual void AppendCertificates(const std::vector<std::string>& modules,
                                    std::vector<StoreCertificate>& certificates,
                                    std::vector<StoreProblem>& problems) = 0;
};

// The tokens a store lists after its folder: where their certificates come from, and the
// modules that the setting pkcs11Modules names.
struct StoreTokens {
    ITokenCertificates* source = nullptr;  // nullptr: the folder only
    std::vector<std::string> modules;
};

// The opened store: its certificates read once, in store order.
class CertStore {
public:
    // Reads the folder, creating it first when it does not exist (EnsureCertStoreFolder), then
    // the tokens' certificates. Returns nothing when the folder cannot be created, is not a
    // folder or cannot be read (the store cannot be opened); an empty or new folder is an
    // empty store.
    [[nodiscard]] static std::unique_ptr<CertStore> Open(const std::filesystem::path& folder,
                                                         const StoreTokens& tokens = {});
    [[nodiscard]] static std::unique_ptr<CertStore> OpenDefault() {
        return Open(DefaultCertStoreLocation());
    }

    const std::filesystem::path& Folder() const noexcept { return folder_; }
    const std::vector<StoreCertificate>& Certificates() const noexcept { return certificates_; }
    const std::vector<StoreProblem>& Problems() const noexcept { return problems_; }

    // The first certificate in store order whose serial-number text (with or without
    // grouping) equals text exactly (letter case and spaces count); nullptr when none does.
    const StoreCertificate* FindFirstBySerialText(std::string_view text,
                                                  bool grouping = true) const;

private:
    explicit CertStore(std::filesystem::path folder) : folder_(std::move(folder)) {}
    void ReadFile(const std::filesystem::path& file);

    std::filesystem::path folder_;
    std::vector<StoreCertificate> certificates_;
    std::vector<StoreProblem> problems_;
};

}  // namespace korvalo
