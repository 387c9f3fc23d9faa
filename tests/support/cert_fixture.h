#pragma once
// Test fixtures for anything that signs: keys, CA and personal certificates, certificate-store
// folders (PEM and PKCS#12 files), GOST certificates made by the openssl command, and the
// openssl command that checks CMS signatures. Temporary folders, files and commands come from
// support/files.h and support/processes.h.

#include <chrono>
#include <deque>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/user_interface.h"
#include "platform/crypto/cert_store.h"
#include "support/files.h"
#include "support/processes.h"

namespace korvalo::testing {

// ---- password prompt ------------------------------------------------------------------------

// A key password and token PIN prompt that answers both from one script (nothing = cancel; an
// exhausted script cancels) and records every question: passwords as (what, retry), PINs as
// PinQuestion.
class ScriptedPasswordPrompt : public IKeyPasswordPrompt {
public:
    struct PinQuestion {
        std::string token;
        bool retry = false;
        bool perSignature = false;
        bool operator==(const PinQuestion&) const = default;
    };

    explicit ScriptedPasswordPrompt(std::deque<std::optional<std::string>> answers = {})
        : answers_(std::move(answers)) {}
    std::optional<std::string> AskKeyPassword(const std::string& what, bool retry) override {
        asked.emplace_back(what, retry);
        return Next();
    }
    std::optional<std::string> AskTokenPin(const std::string& tokenLabel, bool retry,
                                           bool perSignature) override {
        pinAsked.push_back({tokenLabel, retry, perSignature});
        return Next();
    }
    // Adds answers at the end of the script.
    void Answer(std::optional<std::string> answer) { answers_.push_back(std::move(answer)); }

    std::vector<std::pair<std::string, bool>> asked;
    std::vector<PinQuestion> pinAsked;

private:
    std::optional<std::string> Next() {
        if (answers_.empty())
            return std::nullopt;
        std::optional<std::string> answer = answers_.front();
        answers_.pop_front();
        return answer;
    }

    std::deque<std::optional<std::string>> answers_;
};

// ---- keys and certificates ----------------------------------------------------------------

enum class KeyKind { Rsa2048, EcP256 };

// A fresh key of that kind.
EvpPkeyPtr MakeKey(KeyKind kind);
// One key per kind and slot for the whole test process (a new reference each call):
// certificates made for tests may share a key, which saves the time of making one. CA
// certificates take slot 1, personal ones slot 0, so a CA never shares its holder's key.
EvpPkeyPtr SharedKey(KeyKind kind, int slot = 0);

// Name parts; an empty text leaves the part out. gn is 2.5.4.41 ("name"), sn 2.5.4.4.
// c is written as a PrintableString of any length ("RUS" is allowed).
struct NameParts {
    std::string cn, sn, gn, o, ou, c;
};

using Clock = std::chrono::system_clock;

struct CertRecipe {
    NameParts subject;
    // The serial number's DER content bytes in hexadecimal, most significant first
    // ("0A0B0C0D"; "80" gives a negative number, "0080" the positive 128).
    std::string serialHex = "01";
    Clock::time_point notBefore = Clock::now() - std::chrono::hours(24);
    Clock::time_point notAfter = Clock::now() + std::chrono::hours(24 * 365);
    KeyKind key = KeyKind::Rsa2048;
    bool freshKey = false;  // true: a key of its own instead of a shared one
};

// A certificate with its private key.
struct TestCert {
    X509Ptr cert;
    EvpPkeyPtr key;

    std::string Der() const;
    std::string CertPem() const;
    // PKCS#8 PEM; encrypted with AES-256 when password is given.
    std::string KeyPem(const std::optional<std::string>& password = std::nullopt) const;
    // SerialToHex of the certificate's serial, as the store shows it.
    std::string SerialText(bool grouping = true) const;
};

// A self-signed CA certificate (basicConstraints CA:TRUE, keyCertSign).
TestCert MakeCa(const CertRecipe& wanted);
// A personal certificate issued by issuer, signed with the digest md (SHA-256 by default);
// the issuer name is issuer's subject.
TestCert IssueCert(const TestCert& issuer, const CertRecipe& wanted, const EVP_MD* md = nullptr);
// A CA named by caSubject plus one personal certificate: the usual pair for store tests.
struct CaAndCert {
    TestCert ca;
    TestCert cert;
};
CaAndCert MakeCaAndCert(const NameParts& caSubject, const CertRecipe& wanted);

// ---- store files --------------------------------------------------------------------------

struct PemOptions {
    bool withKey = true;
    std::optional<std::string> keyPassword;   // encrypts the key
    std::vector<const TestCert*> extraCerts;  // written after the certificate (a chain)
    bool keyFirst = false;                    // the key block before the certificates
};
void WritePem(const std::filesystem::path& file, const TestCert& cert,
              const PemOptions& options = {});

struct Pkcs12Options {
    // No password: nothing encrypted and no MAC. A password (also the empty one): the key
    // encrypted, a MAC, and the certificates encrypted when encryptCerts.
    std::optional<std::string> password;
    bool encryptCerts = true;
    bool withKey = true;
    std::vector<const TestCert*> extraCerts;  // CA certificates in the file
};
void WritePkcs12(const std::filesystem::path& file, const TestCert& cert,
                 const Pkcs12Options& options = {});

// The DER of cert with its serial number replaced by the INTEGER content contentHex (may be
// empty: an INTEGER of length zero). The signature is left as it was.
std::string ReplaceSerialDer(const std::string& certDer, const std::string& contentHex);

// ---- GOST certificates through the openssl command ------------------------------------------

// A GOST R 34.10-2012 (256-bit, parameter set A) CA and a personal certificate issued by it,
// both signed with GOST R 34.11-2012 (signature algorithm 1.2.643.7.1.1.3.2); validity starts
// now and lasts the whole days up to wanted.notAfter (wanted.key is not used). Files are
// written into dir: gost-ca.pem, gost-ca.key, gost-cert.pem, gost-cert.key. Returns false
// (and the command output in error) when the openssl command or its gost engine fails.
struct GostFiles {
    std::filesystem::path caCert, caKey, cert, key;
};
bool MakeGostCaAndCert(const std::filesystem::path& dir, const NameParts& caSubject,
                       const CertRecipe& wanted, GostFiles& files, std::string& error);

// ---- checking CMS signatures with the openssl command -----------------------------------

// openssl cms -verify -binary -inform DER against content; with caFile the chain is checked,
// without it -noverify. gost adds -engine gost.
CommandResult VerifyDetachedCms(const std::string& cmsDer, const std::string& content,
                                const std::optional<std::filesystem::path>& caFile,
                                bool gost = false);

// What `openssl cms -cmsout -print` shows of a SignedData.
struct CmsDump {
    std::string text;                           // the whole print
    std::vector<std::string> digestAlgorithms;  // digestAlgorithms of SignedData (OIDs
                                                // or OpenSSL's short names as printed)
    std::vector<std::string> signerDigests;     // digestAlgorithm of each SignerInfo
    std::vector<std::string> signedAttributes;  // object names of the signed attributes
    int certificateCount = 0;
    bool detached = false;  // eContent absent
};
CmsDump PrintCms(const std::string& cmsDer, bool gost = false);

}  // namespace korvalo::testing
