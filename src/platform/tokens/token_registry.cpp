#include "platform/tokens/token_registry.h"

#include <openssl/err.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <tuple>
#include <utility>

#include "core/text.h"
#include "core/timestamp.h"
#include "platform/crypto/store_files.h"
#include "platform/tokens/token_key.h"

namespace korvalo {

namespace fs = std::filesystem;

namespace {

std::string Bytes(const unsigned char* data, std::size_t length) {
    return data != nullptr ? std::string(reinterpret_cast<const char*>(data), length)
                           : std::string();
}

// The identifiers of the keys a token shows now (private and public ones).
std::set<std::string> VisibleKeyIds(PKCS11_TOKEN& token) {
    std::set<std::string> ids;
    PKCS11_KEY* keys = nullptr;
    unsigned int count = 0;
    if (PKCS11_enumerate_keys(&token, &keys, &count) == 0) {
        for (unsigned int i = 0; i < count; ++i)
            ids.insert(Bytes(keys[i].id, keys[i].id_len));
    }
    keys = nullptr;
    count = 0;
    if (PKCS11_enumerate_public_keys(&token, &keys, &count) == 0) {
        for (unsigned int i = 0; i < count; ++i)
            ids.insert(Bytes(keys[i].id, keys[i].id_len));
    }
    ERR_clear_error();
    return ids;
}

// One certificate of a token, as the listing keeps it until it is sorted.
struct Found {
    std::string label;
    std::string id;
    std::string der;
    X509Ptr cert;
};

std::string ModuleKey(const std::string& path) {
    if (path.find('/') == std::string::npos)
        return path;
    std::error_code ec;
    const fs::path canonical = fs::weakly_canonical(path, ec);
    return ec ? path : canonical.string();
}

// Lists the certificates of one module into certificates; seen holds the tokens and
// certificates listed before (through other modules).
void ListModule(const std::shared_ptr<TokenModule>& module, TokenModule::Use& use,
                std::set<std::pair<TokenIdentity, std::string>, std::less<>>& seen,
                std::vector<StoreCertificate>& certificates, std::vector<StoreProblem>& problems) {
    std::span<PKCS11_SLOT> slots;
    unsigned long ckr = 0;
    if (!use.Slots(slots, ckr)) {
        problems.push_back(
            {module->Path(), "слоты модуля не прочитаны, код PKCS#11 " + std::to_string(ckr)});
        return;
    }
    for (PKCS11_SLOT& slot : slots) {
        if (slot.token == nullptr || !slot.token->initialized)
            continue;
        PKCS11_TOKEN& token = *slot.token;
        const TokenIdentity identity = TokenIdentity::Of(token);
        PKCS11_CERT* certs = nullptr;
        unsigned int count = 0;
        if (PKCS11_enumerate_certs(&token, &certs, &count) != 0) {
            problems.push_back({module->Path(), "сертификаты токена «" + identity.label +
                                                    "» не прочитаны, код PKCS#11 " +
                                                    std::to_string(TakeCkrError())});
            continue;
        }
        const std::set<std::string> keyIds = VisibleKeyIds(token);
        std::vector<Found> found;
        for (unsigned int i = 0; i < count; ++i) {
            X509* x509 = certs[i].x509;
            if (x509 == nullptr)
                continue;
            const std::string id = Bytes(certs[i].id, certs[i].id_len);
            const bool keyShown = keyIds.count(id) != 0;
            if (!keyShown && (!token.loginRequired || IsCa(x509)))
                continue;
            // A copy of its own: nothing of the slot list outlives it.
            X509Ptr copy(X509_dup(x509));
            if (!copy)
                continue;
            unsigned char* der = nullptr;
            const int len = i2d_X509(copy.get(), &der);
            if (len <= 0)
                continue;
            OsslMem<unsigned char> hold(der);
            found.push_back({certs[i].label != nullptr ? certs[i].label : "", id,
                             Bytes(der, static_cast<std::size_t>(len)), std::move(copy)});
        }
        std::sort(found.begin(), found.end(), [](const Found& a, const Found& b) {
            return std::tie(a.label, a.id, a.der) < std::tie(b.label, b.id, b.der);
        });
        for (Found& f : found) {
            if (!seen.emplace(identity, f.der).second)
                continue;  // the same token through another module
            auto source = std::make_shared<TokenKeySource>(TokenKeyPlace{module, identity, f.id});
            StoreCertificate cert(std::move(f.cert), std::move(source));
            if (cert.SerialBytes().empty()) {
                problems.push_back({module->Path(), "у сертификата «" + f.label + "» токена «" +
                                                        identity.label + "» нет серийного номера"});
                continue;
            }
            certificates.push_back(std::move(cert));
        }
    }
    ERR_clear_error();
}

}  // namespace

std::string DefaultProxyModule() {
    if (const char* env = std::getenv("KORVALO_PKCS11_PROXY"); env != nullptr && *env != '\0')
        return std::string(env) == "none" ? std::string() : std::string(env);
    return KORVALO_P11_KIT_PROXY;
}

TokenRegistry::TokenRegistry(ILogSink& log) : TokenRegistry(log, Options{}) {}

TokenRegistry::TokenRegistry(ILogSink& log, Options options)
    : log_(log), options_(std::move(options)) {}

TokenRegistry::~TokenRegistry() = default;

std::vector<std::string> TokenRegistry::ModulesOf(const std::vector<std::string>& modules) const {
    std::vector<std::string> all;
    std::set<std::string> keys;
    auto add = [&](const std::string& named) {
        const std::string path = Trim(named);
        if (!path.empty() && keys.insert(ModuleKey(path)).second)
            all.push_back(path);
    };
    add(options_.proxyModule);
    for (const std::string& path : modules)
        add(path);
    return all;
}

std::shared_ptr<TokenModule> TokenRegistry::Module(const std::string& path) {
    const std::string key = ModuleKey(path);
    std::string error;
    {
        std::lock_guard lock(mutex_);
        if (auto it = loaded_.find(key); it != loaded_.end())
            return it->second;
        if (std::shared_ptr<TokenModule> module = TokenModule::Load(path, error)) {
            loaded_.emplace(key, module);
            return module;
        }
        if (!failed_.insert(key).second)
            return nullptr;
    }
    log_.PrintInfo(
        LogLine("Токены и смарт-карты модуля PKCS#11 «" + path + "» недоступны: " + error + "."));
    return nullptr;
}

void TokenRegistry::AppendCertificates(const std::vector<std::string>& modules,
                                       std::vector<StoreCertificate>& certificates,
                                       std::vector<StoreProblem>& problems) {
    std::set<std::pair<TokenIdentity, std::string>, std::less<>> seen;
    for (const std::string& path : ModulesOf(modules)) {
        const std::shared_ptr<TokenModule> module = Module(path);
        if (!module)
            continue;
        const std::unique_ptr<TokenModule::Use> use = module->TryAcquire(options_.busyWait);
        if (!use) {
            problems.push_back({path, "модуль занят другой операцией; его токены не показаны"});
            continue;
        }
        ListModule(module, *use, seen, certificates, problems);
    }
}

}  // namespace korvalo
