#pragma once
// SoftHSM2 tokens made for a test: a private token folder and configuration (SOFTHSM2_CONF
// points at it while the fixture lives), tokens initialised and filled through SoftHSM's own
// PKCS#11 interface with the keys and certificates of support/tokens, and the fault-injecting
// PKCS#11 module that stands between a test and SoftHSM (locked PIN, PIN pad, removal).

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "support/files.h"

namespace korvalo::testing {

// SoftHSM's PKCS#11 module, and the test module that forwards to it (FaultModule).
std::string SoftHsmModulePath();
std::string FaultModulePath();

// A file of support/tokens: "ca.pem", "rsa.pem", "rsa.key", "ec.pem", "ec.key", "gost.pem".
std::filesystem::path TokenFixture(const std::string& name);

// One key pair or certificate on a token; the files are names of support/tokens.
struct TokenObject {
    std::string certFile;             // a certificate ("rsa.pem"); empty: none
    std::string keyFile;              // its private key in PKCS#8 PEM ("rsa.key"); empty: none
    std::string id;                   // CKA_ID of all three objects
    std::string label;                // CKA_LABEL of all three objects
    bool publicKey = true;            // a public key object beside the private key
    bool alwaysAuthenticate = false;  // the key asks for its PIN at every signature
};

struct TokenContents {
    std::string label = "Korvalo Test";
    std::string userPin = "1234";
    std::vector<TokenObject> objects;
};

// The RSA-2048 and ECDSA P-256 key pairs of support/tokens as token objects.
TokenObject RsaObject(std::string id = "\x01", std::string label = "rsa");
TokenObject EcObject(std::string id = "\x02", std::string label = "ec");

// The token folder of one test. Make the tokens before anything loads a PKCS#11 module that
// reaches SoftHSM: SoftHSM reads its configuration when it is initialised.
class SoftHsmTokens {
public:
    SoftHsmTokens();
    ~SoftHsmTokens();
    SoftHsmTokens(const SoftHsmTokens&) = delete;
    SoftHsmTokens& operator=(const SoftHsmTokens&) = delete;

    // Initialises a fresh token (security officer PIN "12345678") and stores its objects.
    // Throws std::runtime_error when SoftHSM refuses.
    void AddToken(const TokenContents& recipe);

    const std::filesystem::path& Folder() const { return dir_.path(); }

private:
    TempDir dir_;
    std::optional<std::string> previousConf_;
};

// The test module's faults, set through the functions it exports (the test and the code under
// test share the loaded module). Every fault is off when the object is made and when it goes.
class FaultModule {
public:
    FaultModule();
    ~FaultModule();
    FaultModule(const FaultModule&) = delete;
    FaultModule& operator=(const FaultModule&) = delete;

    // The token's PIN is locked: the token says so and refuses every login.
    void LockPin(bool locked);
    // The token has a PIN pad that enters pin (empty: no PIN pad) when asked for a PIN.
    void PinPad(const std::string& pin);
    // The token is taken out after that many more signatures (negative: never).
    void RemoveAfterSignatures(int count);
    // Takes the token out now, or puts it back.
    void Remove();
    void Insert();

    // What the module saw: user logins, logins for one signature (context specific) and
    // signatures made.
    long UserLogins() const;
    long SignatureLogins() const;
    long Signatures() const;

private:
    void* handle_;
    void (*set_)(const char* name, long value);
    void (*setPin_)(const char* pin);
    long (*get_)(const char* name);
};

}  // namespace korvalo::testing
