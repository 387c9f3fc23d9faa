#include "platform/tokens/token_key.h"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/objects.h>

#include <p11-kit/pkcs11.h>

#include "platform/crypto/crypt_errors.h"
#include "platform/crypto/store_files.h"

namespace korvalo {

namespace {

std::string Text(const char* text) {
    return text != nullptr ? std::string(text) : std::string();
}

std::string TokenText(const std::string& label, const std::string& text) {
    return "Токен «" + label + "»: " + text;
}

// How often a PIN pad is asked for the PIN before a wrong one ends the attempt.
constexpr int kPinPadAttempts = 3;

bool IsWrongPin(unsigned long ckr) {
    return ckr == CKR_PIN_INCORRECT || ckr == CKR_PIN_INVALID || ckr == CKR_PIN_LEN_RANGE;
}

// The object identifier of the certificate's public key algorithm ("1.2.643.7.1.1.1.1").
std::string PublicKeyAlgorithm(X509* cert) {
    ASN1_OBJECT* algorithm = nullptr;
    if (X509_PUBKEY_get0_param(&algorithm, nullptr, nullptr, nullptr, X509_get_X509_PUBKEY(cert)) !=
            1 ||
        algorithm == nullptr) {
        return {};
    }
    char buf[128];
    const int len = OBJ_obj2txt(buf, sizeof buf, algorithm, 1);
    if (len <= 0 || len >= static_cast<int>(sizeof buf))
        return {};
    return std::string(buf, static_cast<std::size_t>(len));
}

// The PIN of one signing call, wiped when it goes.
class Secret {
public:
    Secret() = default;
    ~Secret() { Clear(); }
    Secret(const Secret&) = delete;
    Secret& operator=(const Secret&) = delete;

    bool Empty() const noexcept { return !value_; }
    const char* CStr() const { return value_ ? value_->c_str() : nullptr; }
    void Set(std::string value) {
        Clear();
        value_ = std::move(value);
    }
    void Clear() {
        if (value_) {
            OPENSSL_cleanse(value_->data(), value_->size());
            value_.reset();
        }
    }

private:
    std::optional<std::string> value_;
};

// A token key open for one signing call.
class TokenSigningKey : public ISigningKey, private IPinReader {
public:
    TokenSigningKey(const TokenKeyPlace& place, X509* cert, IKeyPasswordPrompt* prompt,
                    std::unique_ptr<TokenModule::Use> use)
        : place_(place), cert_(cert), prompt_(prompt), use_(std::move(use)) {
        X509_up_ref(cert_);
    }
    ~TokenSigningKey() override {
        use_.reset();  // the keys and the slot list go before the certificate
        X509_free(cert_);
    }

    // Finds the token, logs in and finds the key: what a signature needs.
    KeyStatus Prepare();

    [[nodiscard]] KeyStatus CheckDigest(const EVP_MD* md) override;
    [[nodiscard]] KeyStatus SignDigest(std::string_view contentDigest, const EVP_MD* md,
                                       std::chrono::system_clock::time_point signingTime,
                                       std::string& der, CmsSignStage& stage) override;

private:
    std::optional<std::string> ReadSignaturePin() override;
    void PinRefused() override { pinRefused_ = true; }

    KeyStatus Failure(std::uint32_t code) const {
        KeyStatus status = KeyStatus::Of(code);
        if (code != kErrorCancelled)
            status.message = TokenText(place_.token.label, status.message);
        return status;
    }
    KeyStatus LogIn(PKCS11_SLOT& slot);
    KeyStatus FindKey(PKCS11_TOKEN& token);

    TokenKeyPlace place_;
    X509* cert_;
    IKeyPasswordPrompt* prompt_;
    std::unique_ptr<TokenModule::Use> use_;
    Secret pin_;  // the PIN this call logged in with
    EVP_PKEY* key_ = nullptr;
    std::uint64_t keyGeneration_ = 0;
    // The PIN asked during one signature.
    bool retrySignaturePin_ = false;
    bool pinCancelled_ = false;
    bool pinRefused_ = false;
    bool noPrompt_ = false;
};

KeyStatus TokenSigningKey::Prepare() {
    key_ = nullptr;
    std::span<PKCS11_SLOT> slots;
    unsigned long ckr = 0;
    if (!use_->Slots(slots, ckr))
        return ckr != 0 ? TokenFailure(ckr, place_.token.label) : Failure(kScardWRemovedCard);
    PKCS11_SLOT* found = nullptr;
    for (PKCS11_SLOT& slot : slots) {
        if (slot.token != nullptr && slot.token->initialized &&
            TokenIdentity::Of(*slot.token) == place_.token) {
            found = &slot;
            break;
        }
    }
    if (found == nullptr)
        return Failure(kScardWRemovedCard);
    if (KeyStatus status = LogIn(*found); !status.Ok())
        return status;
    if (KeyStatus status = FindKey(*found->token); !status.Ok())
        return status;
    keyGeneration_ = use_->Generation();
    return {};
}

KeyStatus TokenSigningKey::LogIn(PKCS11_SLOT& slot) {
    const PKCS11_TOKEN& token = *slot.token;
    if (token.userPinLocked)
        return Failure(kScardWChvBlocked);
    if (!token.loginRequired)
        return {};
    auto tryLogin = [&slot](const char* pin) -> unsigned long {
        if (PKCS11_login(&slot, 0, pin) == 0) {
            ERR_clear_error();
            return CKR_OK;
        }
        const unsigned long ckr = TakeCkrError();
        return ckr != CKR_OK ? ckr : CKR_GENERAL_ERROR;
    };
    if (token.secureLogin) {
        // The PIN pad asks; a wrong PIN there is entered again on the pad, a few times (a
        // module that refuses a login without a PIN at once must not keep the call going).
        unsigned long ckr = CKR_OK;
        for (int attempt = 0; attempt < kPinPadAttempts; ++attempt) {
            ckr = tryLogin(nullptr);
            if (ckr == CKR_OK)
                return {};
            if (!IsWrongPin(ckr))
                break;
        }
        return TokenFailure(ckr, place_.token.label);
    }
    if (!pin_.Empty()) {
        // Logged in before in this call: the same PIN, without asking.
        const unsigned long ckr = tryLogin(pin_.CStr());
        if (ckr == CKR_OK)
            return {};
        if (!IsWrongPin(ckr))
            return TokenFailure(ckr, place_.token.label);
        pin_.Clear();
    }
    if (prompt_ == nullptr)
        return Failure(kNteSilentContext);
    bool retry = false;
    for (;;) {
        std::optional<std::string> pin = prompt_->AskTokenPin(place_.token.label, retry, false);
        if (!pin)
            return KeyStatus::Of(kErrorCancelled);
        pin_.Set(std::move(*pin));
        const unsigned long ckr = tryLogin(pin_.CStr());
        if (ckr == CKR_OK)
            return {};
        pin_.Clear();
        if (!IsWrongPin(ckr))
            return TokenFailure(ckr, place_.token.label);
        retry = true;
    }
}

KeyStatus TokenSigningKey::FindKey(PKCS11_TOKEN& token) {
    PKCS11_KEY* keys = nullptr;
    unsigned int count = 0;
    if (PKCS11_enumerate_keys(&token, &keys, &count) != 0) {
        const unsigned long ckr = TakeCkrError();
        return ckr != CKR_OK ? TokenFailure(ckr, place_.token.label) : Failure(kNteBadKeyset);
    }
    PKCS11_KEY* chosen = nullptr;
    for (unsigned int i = 0; i < count && chosen == nullptr; ++i) {
        const std::string id(reinterpret_cast<const char*>(keys[i].id), keys[i].id_len);
        if (keys[i].isPrivate && !place_.keyId.empty() && id == place_.keyId)
            chosen = &keys[i];
    }
    if (chosen != nullptr) {
        key_ = use_->PrivateKey(chosen);
        if (key_ == nullptr)
            return Failure(kNteNotSupported);
        return {};
    }
    // No key carries the certificate's identifier: the key whose public half is the
    // certificate's.
    for (unsigned int i = 0; i < count; ++i) {
        if (!keys[i].isPrivate)
            continue;
        EVP_PKEY* candidate = use_->PrivateKey(&keys[i]);
        if (candidate != nullptr && KeyMatches(cert_, candidate)) {
            key_ = candidate;
            return {};
        }
    }
    ERR_clear_error();
    return Failure(kCryptENoKeyProperty);
}

KeyStatus TokenSigningKey::CheckDigest(const EVP_MD* md) {
    if (key_ == nullptr || keyGeneration_ != use_->Generation()) {
        if (KeyStatus status = Prepare(); !status.Ok())
            return status;
    }
    return KeyStatus::Of(DetachedCmsSigner(cert_, key_, md).CheckDigest());
}

KeyStatus TokenSigningKey::SignDigest(std::string_view contentDigest, const EVP_MD* md,
                                      std::chrono::system_clock::time_point signingTime,
                                      std::string& der, CmsSignStage& stage) {
    for (;;) {
        stage = CmsSignStage::Signing;
        if (key_ == nullptr || keyGeneration_ != use_->Generation()) {
            if (KeyStatus status = Prepare(); !status.Ok())
                return status;
        }
        pinCancelled_ = pinRefused_ = noPrompt_ = false;
        const DetachedCmsSigner signer(cert_, key_, md);
        use_->SetPinReader(this);
        const std::uint32_t code = signer.SignDigest(contentDigest, der, stage, signingTime);
        use_->SetPinReader(nullptr);
        if (code == 0) {
            retrySignaturePin_ = false;
            return {};
        }
        if (stage == CmsSignStage::Encoding)
            return KeyStatus::Of(code);  // the token has signed; writing the message failed
        unsigned long ckr = CKR_OK;
        for (const unsigned long error : signer.LastErrors()) {
            if (const std::optional<unsigned long> c = CkrOfError(error))
                ckr = *c;
        }
        // Whatever failed, libp11 may have left the operation open in its session.
        use_->ReleaseSlots();
        if (noPrompt_)
            return Failure(kNteSilentContext);
        if (pinCancelled_ || ckr == CKR_FUNCTION_CANCELED)
            return KeyStatus::Of(kErrorCancelled);
        if (pinRefused_ || IsWrongPin(ckr)) {
            retrySignaturePin_ = true;
            continue;
        }
        if (ckr != CKR_OK)
            return TokenFailure(ckr, place_.token.label);
        return KeyStatus::Of(code);
    }
}

std::optional<std::string> TokenSigningKey::ReadSignaturePin() {
    if (prompt_ == nullptr) {
        noPrompt_ = true;
        return std::nullopt;
    }
    std::optional<std::string> pin =
        prompt_->AskTokenPin(place_.token.label, retrySignaturePin_, true);
    if (!pin)
        pinCancelled_ = true;
    return pin;
}

}  // namespace

TokenIdentity TokenIdentity::Of(const PKCS11_TOKEN& token) {
    return TokenIdentity{Text(token.manufacturer), Text(token.model), Text(token.serialnr),
                         Text(token.label)};
}

KeyStatus TokenFailure(unsigned long ckr, const std::string& label) {
    std::uint32_t code = kNteFail;
    switch (ckr) {
        case CKR_FUNCTION_CANCELED:
            return KeyStatus::Of(kErrorCancelled);
        case CKR_PIN_INCORRECT:
        case CKR_PIN_INVALID:
        case CKR_PIN_LEN_RANGE:
            code = kScardWWrongChv;
            break;
        case CKR_PIN_LOCKED:
            code = kScardWChvBlocked;
            break;
        case CKR_DEVICE_REMOVED:
        case CKR_TOKEN_NOT_PRESENT:
        case CKR_TOKEN_NOT_RECOGNIZED:
        case CKR_SESSION_CLOSED:
        case CKR_SESSION_HANDLE_INVALID:
        case CKR_SLOT_ID_INVALID:
            code = kScardWRemovedCard;
            break;
        case CKR_HOST_MEMORY:
        case CKR_DEVICE_MEMORY:
            code = kNteNoMemory;
            break;
        default:
            break;
    }
    KeyStatus status = KeyStatus::Of(code);
    status.message = code == kNteFail
                         ? TokenText(label, "ошибка PKCS#11 " + std::to_string(ckr) + ".")
                         : TokenText(label, status.message);
    return status;
}

KeyStatus TokenKeySource::Supported(const StoreCertificate& cert) const {
    // Without OpenSSL's gost engine a GOST key cannot even be read.
    const EVP_PKEY* publicKey = X509_get0_pubkey(cert.Handle());
    const int kind = publicKey != nullptr ? EVP_PKEY_get_base_id(publicKey) : EVP_PKEY_NONE;
    ERR_clear_error();
    if (kind == EVP_PKEY_RSA || kind == EVP_PKEY_EC)
        return {};
    KeyStatus status = KeyStatus::Of(kNteNotSupported);
    const bool gost = PublicKeyAlgorithm(cert.Handle()).rfind("1.2.643.", 0) == 0;
    status.message = TokenText(place_.token.label,
                               std::string(gost ? "ключ ГОСТ" : "ключ этого типа") +
                                   " не поддерживается, с токенов подписывают только ключами "
                                   "RSA и ECDSA.");
    return status;
}

OpenedKey TokenKeySource::Open(const StoreCertificate& cert, IKeyPasswordPrompt* prompt) const {
    OpenedKey opened;
    if (KeyStatus status = Supported(cert); !status.Ok()) {
        opened.status = std::move(status);
        return opened;
    }
    auto key =
        std::make_unique<TokenSigningKey>(place_, cert.Handle(), prompt, place_.module->Acquire());
    if (KeyStatus status = key->Prepare(); !status.Ok()) {
        opened.status = std::move(status);
        return opened;
    }
    opened.key = std::move(key);
    return opened;
}

}  // namespace korvalo
