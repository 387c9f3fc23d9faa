#pragma once
// One PKCS#11 module, loaded once for the life of the program through libp11, and its use by one
// thread at a time: the slot list of that use and the keys taken from it.
//
// libp11's objects live in its slot list: the tokens, their certificates and keys, and the
// OpenSSL keys made from them, which call back into the slot when they sign. A use therefore
// owns the slot list and every OpenSSL key it hands out, frees the keys before it releases the
// list, and releases the list when it ends; nothing taken from a list survives it. Releasing the
// list closes its sessions, which logs the tokens out and ends whatever operation libp11 left
// open in them (a signature whose PIN was refused or cancelled); the next need enumerates the
// slots again.

#include <openssl/evp.h>
#include <openssl/ui.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <libp11.h>

#include "platform/crypto/openssl_handles.h"

namespace korvalo {

// Answers a token's request for a PIN in the middle of a signature (a key that asks for its PIN
// at every signature). Called on the thread that signs.
class IPinReader {
public:
    virtual ~IPinReader() = default;
    // The PIN, or nothing when the user cancels.
    virtual std::optional<std::string> ReadSignaturePin() = 0;
    // The PIN given was refused before it reached the token (too short or too long for it).
    virtual void PinRefused() = 0;
};

// One loaded PKCS#11 module: its libp11 context, from Load until the object is destroyed.
class TokenModule : public std::enable_shared_from_this<TokenModule> {
public:
    // Loads and initialises the module at path. nullptr, with the Russian reason in error,
    // when it cannot be.
    static std::shared_ptr<TokenModule> Load(const std::string& path, std::string& error);
    ~TokenModule();
    TokenModule(const TokenModule&) = delete;
    TokenModule& operator=(const TokenModule&) = delete;

    const std::string& Path() const noexcept { return path_; }

    class Use;
    // The module for this thread alone, once no other thread uses it.
    std::unique_ptr<Use> Acquire();
    // As Acquire, but nullptr when another thread keeps it longer than wait.
    std::unique_ptr<Use> TryAcquire(std::chrono::milliseconds wait);

private:
    struct ContextDeleter {
        void operator()(PKCS11_CTX* ctx) const noexcept;
    };
    struct UiMethodDeleter {
        void operator()(UI_METHOD* method) const noexcept { UI_destroy_method(method); }
    };

    explicit TokenModule(std::string path) : path_(std::move(path)) {}
    static int ReadPin(UI* ui, UI_STRING* request);

    std::string path_;
    std::unique_ptr<UI_METHOD, UiMethodDeleter> pinMethod_;
    std::unique_ptr<PKCS11_CTX, ContextDeleter> context_;  // unloaded before the method goes
    std::timed_mutex inUse_;
};

// The use of a module by one thread, from Acquire until the object is destroyed.
class TokenModule::Use {
public:
    ~Use();
    Use(const Use&) = delete;
    Use& operator=(const Use&) = delete;

    // The module's slots, enumerated at the first call after the use began or the list was
    // released. False when the module cannot enumerate them; ckr then holds its PKCS#11 code
    // (0 when it gave none).
    [[nodiscard]] bool Slots(std::span<PKCS11_SLOT>& slots, unsigned long& ckr);
    // Frees every OpenSSL key this use handed out, then releases the slot list. Every pointer
    // taken from the list (slot, token, certificate, key) is invalid afterwards.
    void ReleaseSlots();
    // How many slot lists this use has released: a pointer kept from an earlier generation is
    // invalid.
    std::uint64_t Generation() const noexcept { return generation_; }

    // The private key as an OpenSSL key that signs on the token; owned by this use until the
    // slot list is released. nullptr when libp11 cannot use a key of its kind.
    EVP_PKEY* PrivateKey(PKCS11_KEY* key);

    // Who answers PIN requests during signatures; nullptr (also when the use ends): they are
    // cancelled.
    void SetPinReader(IPinReader* reader);

private:
    friend class TokenModule;
    Use(std::shared_ptr<TokenModule> module, std::unique_lock<std::timed_mutex> lock);

    std::shared_ptr<TokenModule> module_;
    std::unique_lock<std::timed_mutex> lock_;
    PKCS11_SLOT* slots_ = nullptr;
    unsigned int count_ = 0;
    bool enumerated_ = false;
    std::vector<EvpPkeyPtr> keys_;
    std::uint64_t generation_ = 0;
};

// The PKCS#11 code (CKR_*) that libp11 put into an OpenSSL error, or nothing when the error is
// not one of a module's codes.
std::optional<unsigned long> CkrOfError(unsigned long opensslError);
// The last PKCS#11 code among the thread's queued OpenSSL errors (0 when there is none); the
// queue is emptied.
unsigned long TakeCkrError();

}  // namespace korvalo
