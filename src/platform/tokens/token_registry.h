#pragma once
// The tokens and smart cards of the personal store: the PKCS#11 modules that reach them, each
// loaded once for the life of the registry, and the certificates they hold.

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "core/log_sink.h"
#include "platform/crypto/cert_store.h"
#include "platform/tokens/token_module.h"

namespace korvalo {

// The module that reaches every token the desktop has registered with p11-kit: the p11-kit
// proxy (p11-kit-proxy.so of the system's library folder), or what $KORVALO_PKCS11_PROXY
// names; "none" there means no such module. Empty when there is none.
std::string DefaultProxyModule();

// Lists the certificates of every token of the proxy module and of the modules a listing names
// (the setting pkcs11Modules), in that order, a module named twice once. Within a module the
// tokens come in slot order and each token's certificates by label, identifier and content, so
// the order stays the same between listings. A certificate is listed when the token shows a
// key with the certificate's identifier (CKA_ID) without a login, or, on a token that shows
// its private keys only after a login, when it is not a certification authority's (what a
// token holds for its owner; the CA certificates beside it, and tokens of trust anchors, are
// not personal certificates). A token reached through two modules is listed once. Listing
// never logs in.
//
// A module that cannot be loaded is left out; the log gets one line for it for the life of the
// registry. A module that another thread keeps (a signature in progress) is waited for up to
// Options::busyWait and otherwise left out of that listing with a problem, so a listing on the
// UI thread never waits long. Safe to use from any thread.
class TokenRegistry : public ITokenCertificates {
public:
    struct Options {
        std::string proxyModule = DefaultProxyModule();  // empty: none
        std::chrono::milliseconds busyWait{3000};
    };

    // log receives the lines about modules that cannot be loaded; it must outlive the registry.
    explicit TokenRegistry(ILogSink& log);
    TokenRegistry(ILogSink& log, Options options);
    ~TokenRegistry() override;
    TokenRegistry(const TokenRegistry&) = delete;
    TokenRegistry& operator=(const TokenRegistry&) = delete;

    void AppendCertificates(const std::vector<std::string>& modules,
                            std::vector<StoreCertificate>& certificates,
                            std::vector<StoreProblem>& problems) override;

    // The module of path, loaded at its first need and kept; nullptr when it cannot be loaded
    // (logged the first time).
    std::shared_ptr<TokenModule> Module(const std::string& path);

private:
    // The modules of one listing, the proxy first, each once.
    std::vector<std::string> ModulesOf(const std::vector<std::string>& modules) const;

    ILogSink& log_;
    Options options_;
    std::mutex mutex_;
    std::map<std::string, std::shared_ptr<TokenModule>> loaded_;
    std::set<std::string> failed_;  // reported once
};

}  // namespace korvalo
