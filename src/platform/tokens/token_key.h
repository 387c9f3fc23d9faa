#pragma once
// The keys of token certificates: where such a key lives (the module and the token, found again
// by what the token says of itself) and the key opened for one signing call, logged in for all
// its signatures.

#include <memory>
#include <string>

#include "platform/crypto/cert_store.h"
#include "platform/tokens/token_module.h"

namespace korvalo {

// What names a token across slot lists: slot numbers may change when it is inserted again.
struct TokenIdentity {
    std::string manufacturer;
    std::string model;
    std::string serial;
    std::string label;

    auto operator<=>(const TokenIdentity&) const = default;
    // The identity of a slot's token (which must be present).
    static TokenIdentity Of(const PKCS11_TOKEN& token);
};

// Where the key of one token certificate lives.
struct TokenKeyPlace {
    std::shared_ptr<TokenModule> module;
    TokenIdentity token;
    std::string keyId;  // the certificate's CKA_ID: its key carries the same
};

// The key of a token certificate. Keys of kinds libp11 can use (RSA, ECDSA) sign; others (GOST)
// fail with a text saying so before anything is asked.
//
// Open takes the module for the calling thread until the key is closed and logs in to the token:
// without a PIN when the token needs none or has a PIN pad, else with the PIN asked through
// AskTokenPin (a wrong PIN asks again; a locked PIN fails without asking). The login holds for
// every signature of the signing call. A key that asks for its PIN at every signature asks
// through AskTokenPin(perSignature) each time; a wrong PIN there asks again, a cancelled one
// ends the signature with kErrorCancelled. After such a failure, and after any failed
// signature, the slot list is released and enumerated again before the next signature, which
// logs in anew with the PIN already given. A token that has gone fails with kScardWRemovedCard.
class TokenKeySource : public IKeySource {
public:
    explicit TokenKeySource(TokenKeyPlace place) : place_(std::move(place)) {}

    [[nodiscard]] KeyStatus Supported(const StoreCertificate& cert) const override;
    OpenedKey Open(const StoreCertificate& cert, IKeyPasswordPrompt* prompt) const override;

    const TokenKeyPlace& Place() const noexcept { return place_; }

private:
    TokenKeyPlace place_;
};

// The failure status of a PKCS#11 code met while working with the token labelled label: a
// refused PIN kScardWWrongChv, a locked one kScardWChvBlocked, a token gone
// kScardWRemovedCard, a cancelled PIN pad kErrorCancelled, other codes kNteFail; the text
// names the token (and the code when it is none of these).
KeyStatus TokenFailure(unsigned long ckr, const std::string& label);

}  // namespace korvalo
