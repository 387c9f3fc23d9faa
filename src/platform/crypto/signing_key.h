#pragma once
// A private key of the store opened for the signatures of one signing call, whether it was read
// from a key file or lives on a token, and where a key that lives outside the folder is opened.

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include <openssl/evp.h>

#include "core/user_interface.h"
#include "platform/crypto/crypt_message.h"
#include "platform/crypto/openssl_handles.h"

namespace korvalo {

class StoreCertificate;

// How an operation on a key ended: 0, or a platform error code with its Russian text
// (kErrorCancelled when the user cancelled a password or PIN prompt).
struct KeyStatus {
    std::uint32_t error = 0;
    std::string message;

    bool Ok() const noexcept { return error == 0; }
    // The status of code with the store's text for it (CryptErrorText).
    static KeyStatus Of(std::uint32_t code);
};

// A private key held for the signatures of one signing call; closing it (destroying the
// object) gives the key up (a token is logged out).
class ISigningKey {
public:
    virtual ~ISigningKey() = default;
    // Ok when the key can sign with the digest md; kNteBadAlgId when it refuses it.
    [[nodiscard]] virtual KeyStatus CheckDigest(const EVP_MD* md) = 0;
    // A detached CMS signature, as DetachedCmsSigner::SignDigest makes it, for the
    // certificate the key was opened for, over the content whose digest with md is
    // contentDigest, with the signing time signingTime. On failure stage says whether making
    // the signature or writing it out failed; der is left empty.
    [[nodiscard]] virtual KeyStatus SignDigest(std::string_view contentDigest, const EVP_MD* md,
                                               std::chrono::system_clock::time_point signingTime,
                                               std::string& der, CmsSignStage& stage) = 0;
    // The same over data held whole, signed now.
    [[nodiscard]] KeyStatus SignDetached(std::string_view data, const EVP_MD* md, std::string& der,
                                         CmsSignStage& stage);
};

// The result of opening a key: the key, or why it could not be opened.
struct OpenedKey {
    std::unique_ptr<ISigningKey> key;  // set when status is Ok
    KeyStatus status;
};

// A key read from a store file, held in memory.
class FileSigningKey : public ISigningKey {
public:
    // cert must outlive the key.
    FileSigningKey(X509* cert, EvpPkeyPtr key) : cert_(cert), key_(std::move(key)) {}
    [[nodiscard]] KeyStatus CheckDigest(const EVP_MD* md) override;
    [[nodiscard]] KeyStatus SignDigest(std::string_view contentDigest, const EVP_MD* md,
                                       std::chrono::system_clock::time_point signingTime,
                                       std::string& der, CmsSignStage& stage) override;

private:
    X509* cert_;
    EvpPkeyPtr key_;
};

// Where the keys of certificates that do not come from the store's folder live (a token), and
// how one is opened.
class IKeySource {
public:
    virtual ~IKeySource() = default;
    // Ok when a key of cert can sign here at all; asked before anything else is done.
    [[nodiscard]] virtual KeyStatus Supported(const StoreCertificate& cert) const = 0;
    // Opens the key of cert for one signing call, asking prompt for what guards it (nullptr:
    // nobody can be asked, kNteSilentContext when a PIN is needed).
    virtual OpenedKey Open(const StoreCertificate& cert, IKeyPasswordPrompt* prompt) const = 0;
};

}  // namespace korvalo
