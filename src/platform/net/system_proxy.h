#pragma once
// The proxy the system settings name for HTTP: environment variables, then GNOME's settings.

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace korvalo {

// A proxy host and port. The host is empty when no proxy is named; the port is 0 when the
// setting names none.
struct SystemProxy {
    std::string host;
    int port = 0;
};

// Where the settings loader gets the system's proxy from; tests give a double.
class ISystemProxySource {
public:
    virtual ~ISystemProxySource() = default;
    virtual SystemProxy GetSystemProxy() = 0;
};

// Splits a proxy server list as the system's settings write it. When the text holds
// "http=", only what follows the first "http=" counts, up to the next ";". Then the host is
// the text before the first ":" and the port the decimal number after it (0 when that is no
// number from 0 to 65535); without ":" the whole text is the host and the port is 0. A host
// in brackets ("[::1]:3128") keeps its brackets and its colons.
//   "http=H:3128;https=H:3129" -> H, 3128;  "H:8080" -> H, 8080;  "H" -> H, 0.
SystemProxy ParseProxyServerList(std::string_view list);

// Reduces a proxy URL to "host:port" text: drops the scheme ("http://"), user information
// ("user:password@") and everything from the path on. Text that is no URL comes back trimmed.
//   "http://u:p@proxy.corp:3128/" -> "proxy.corp:3128"
std::string ProxyUrlToServerText(std::string_view url);

// The output of "gsettings list-recursively org.gnome.system.proxy" reduced to the HTTP
// proxy's "host:port" text (or "host" when the port is 0); empty unless the mode is 'manual'
// and a host is set.
std::string GnomeProxyServerText(std::string_view gsettingsOutput);

// Reads the system's proxy on this machine: the variable http_proxy, then HTTP_PROXY, then
// GNOME's manual proxy through the "gsettings" command when that command exists. The
// command runs with a time limit and is killed when it does not finish in time.
class SystemProxySource final : public ISystemProxySource {
public:
    struct Options {
        // Looks up an environment variable; nothing when it is not set.
        std::function<std::optional<std::string>(const std::string&)> getEnv;
        // The gsettings command: a name searched in PATH, or a path.
        std::string gsettings = "gsettings";
        std::chrono::milliseconds timeout{2000};
    };

    SystemProxySource();  // the process environment, "gsettings" from PATH, 2 seconds
    explicit SystemProxySource(Options options);

    SystemProxy GetSystemProxy() override;

private:
    std::optional<std::string> Env(const std::string& name) const;
    Options options_;
};

}  // namespace korvalo
