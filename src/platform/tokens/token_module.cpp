#include "platform/tokens/token_module.h"

#include <openssl/crypto.h>
#include <openssl/err.h>

#include <filesystem>
#include <system_error>

namespace korvalo {

namespace {

struct UnloadedContextDeleter {
    void operator()(PKCS11_CTX* ctx) const noexcept { PKCS11_CTX_free(ctx); }
};

}  // namespace

std::optional<unsigned long> CkrOfError(unsigned long opensslError) {
    if (opensslError == 0 || ERR_GET_LIB(opensslError) != ERR_get_CKR_code())
        return std::nullopt;
    return static_cast<unsigned long>(ERR_GET_REASON(opensslError));
}

unsigned long TakeCkrError() {
    unsigned long ckr = 0;
    for (unsigned long e = ERR_get_error(); e != 0; e = ERR_get_error()) {
        if (const std::optional<unsigned long> code = CkrOfError(e))
            ckr = *code;
    }
    return ckr;
}

// ---- TokenModule ---------------------------------------------------------------------------

void TokenModule::ContextDeleter::operator()(PKCS11_CTX* ctx) const noexcept {
    PKCS11_CTX_unload(ctx);
    PKCS11_CTX_free(ctx);
}

std::shared_ptr<TokenModule> TokenModule::Load(const std::string& path, std::string& error) {
    // A path is checked first: libp11 reports a module it cannot open on the standard error.
    if (path.find('/') != std::string::npos) {
        std::error_code ec;
        if (!std::filesystem::is_regular_file(path, ec)) {
            error = "файл модуля не найден";
            return nullptr;
        }
    }
    std::shared_ptr<TokenModule> module(new TokenModule(path));
    module->pinMethod_.reset(UI_create_method("Korvalo token PIN"));
    if (!module->pinMethod_ || UI_method_set_reader(module->pinMethod_.get(), &ReadPin) != 0) {
        ERR_clear_error();
        error = "недостаточно памяти";
        return nullptr;
    }
    std::unique_ptr<PKCS11_CTX, UnloadedContextDeleter> fresh(PKCS11_CTX_new());
    if (!fresh) {
        ERR_clear_error();
        error = "недостаточно памяти";
        return nullptr;
    }
    if (PKCS11_CTX_load(fresh.get(), path.c_str()) != 0) {
        const unsigned long ckr = TakeCkrError();
        error = ckr != 0 ? "модуль не запустился, код PKCS#11 " + std::to_string(ckr)
                         : "модуль не удалось загрузить";
        return nullptr;
    }
    module->context_.reset(fresh.release());
    // Without a method of its own libp11 would ask for a PIN on the terminal.
    PKCS11_set_ui_method(module->context_.get(), module->pinMethod_.get(), nullptr);
    ERR_clear_error();
    return module;
}

TokenModule::~TokenModule() = default;

std::unique_ptr<TokenModule::Use> TokenModule::Acquire() {
    std::unique_lock lock(inUse_);
    return std::unique_ptr<Use>(new Use(shared_from_this(), std::move(lock)));
}

std::unique_ptr<TokenModule::Use> TokenModule::TryAcquire(std::chrono::milliseconds wait) {
    std::unique_lock lock(inUse_, wait);
    if (!lock.owns_lock())
        return nullptr;
    return std::unique_ptr<Use>(new Use(shared_from_this(), std::move(lock)));
}

int TokenModule::ReadPin(UI* ui, UI_STRING* request) {
    const UI_string_types type = UI_get_string_type(request);
    if (type != UIT_PROMPT && type != UIT_VERIFY)
        return 1;  // information and error texts: nothing to answer
    auto* reader = static_cast<IPinReader*>(UI_get0_user_data(ui));
    if (reader == nullptr)
        return -1;
    std::optional<std::string> pin = reader->ReadSignaturePin();
    if (!pin)
        return -1;
    const int set = UI_set_result_ex(ui, request, pin->data(), static_cast<int>(pin->size()));
    OPENSSL_cleanse(pin->data(), pin->size());
    if (set < 0) {
        ERR_clear_error();
        reader->PinRefused();
        return -1;
    }
    return 1;
}

// ---- TokenModule::Use ----------------------------------------------------------------------

TokenModule::Use::Use(std::shared_ptr<TokenModule> module, std::unique_lock<std::timed_mutex> lock)
    : module_(std::move(module)), lock_(std::move(lock)) {}

TokenModule::Use::~Use() {
    SetPinReader(nullptr);
    ReleaseSlots();
}

bool TokenModule::Use::Slots(std::span<PKCS11_SLOT>& slots, unsigned long& ckr) {
    ckr = 0;
    if (!enumerated_) {
        slots_ = nullptr;
        count_ = 0;
        if (PKCS11_enumerate_slots(module_->context_.get(), &slots_, &count_) != 0) {
            ckr = TakeCkrError();
            slots_ = nullptr;
            count_ = 0;
            slots = {};
            return false;
        }
        enumerated_ = true;
    }
    slots = std::span<PKCS11_SLOT>(slots_, count_);
    return true;
}

void TokenModule::Use::ReleaseSlots() {
    keys_.clear();  // the keys call into the slots: they go first
    if (enumerated_ && slots_ != nullptr)
        PKCS11_release_all_slots(module_->context_.get(), slots_, count_);
    slots_ = nullptr;
    count_ = 0;
    enumerated_ = false;
    ++generation_;
    ERR_clear_error();
}

EVP_PKEY* TokenModule::Use::PrivateKey(PKCS11_KEY* key) {
    EvpPkeyPtr pkey(PKCS11_get_private_key(key));
    if (!pkey) {
        ERR_clear_error();
        return nullptr;
    }
    keys_.push_back(std::move(pkey));
    return keys_.back().get();
}

void TokenModule::Use::SetPinReader(IPinReader* reader) {
    PKCS11_set_ui_method(module_->context_.get(), module_->pinMethod_.get(), reader);
}

}  // namespace korvalo
