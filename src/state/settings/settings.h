#pragma once
// The settings fields Korvalo reads from its profile files, and the loader's properties.

#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace korvalo {

// How the path loader finds its service (PathLoaderURLType).
enum class PathLoaderUrlType { plDefault = 0, plLocal = 1, plCustom = 2 };

// Properties of the service-address discovery component that the settings feed.
struct PathLoaderProperties {
    std::string MenuID;
    bool AllowSetProxy = true;
    PathLoaderUrlType PathLoaderURLType = PathLoaderUrlType::plDefault;
    std::vector<std::string> PathLoaderURL;
    std::string Proxy;          // through the single-byte code page
    std::string ProxyUserName;  // through the single-byte code page
    std::string ProxyPassword;  // through the single-byte code page
    std::string SoftwareID;     // set at start-up, not from the files
};

// The settings fields of the main window.
struct Settings {
    bool useAutoProxy = false;
    std::string proxyAddress;  // single-byte; empty: no proxy
    int proxyPort = 80;
    std::string proxyAccess;  // Base64 of "user:password"
    std::string userName;     // single-byte; kept when proxyAccess is empty
    std::string userPwd;      // single-byte; kept when proxyAccess is empty
    bool isSavePwd = true;
    std::string hashAlgOID;    // single-byte
    bool signatureKZ = false;  // provider "IOLA"
    bool debug = false;
    bool debugExt = false;
    bool avCrypt = false;
    int socket_size = 4000;
    bool bCheckUpdate = false;  // checkupdate equal to 1
    // PKCS#11 modules of tokens besides those registered with p11-kit ([Main] pkcs11Modules).
    std::vector<std::string> pkcs11Modules;
    // The endpoint listens on every interface instead of the loopback addresses only (read
    // at start-up; a reload does not reopen the endpoint).
    bool listenAllInterfaces = false;
    PathLoaderProperties pathLoader;
};

// The settings of the running program. They are reloaded on the UI thread while connection and
// upload threads read them, so readers take a copy and writers change them in one locked step.
class SettingsStore {
public:
    Settings Snapshot() const {
        std::lock_guard lock(mutex_);
        return settings_;
    }
    void Replace(Settings settings) {
        std::lock_guard lock(mutex_);
        settings_ = std::move(settings);
    }
    // Runs change on the settings under the lock; change must not block or call back here.
    void Update(const std::function<void(Settings&)>& change) {
        std::lock_guard lock(mutex_);
        change(settings_);
    }

private:
    mutable std::mutex mutex_;
    Settings settings_;
};

}  // namespace korvalo
