#pragma once
// Which web browser is the desktop's default, and which HTTP proxy the installed browsers
// use: what the path loader's connection window offers for import. Every answer is a text;
// an empty text means nothing found. Nothing is ever reported as an error.

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/net/system_proxy.h"

namespace korvalo {

// Browser kinds; the numbers are also the tags of the connection window's proxy menu items.
enum BrowserKind : int {
    kBrowserInternetExplorer = 0,
    kBrowserFirefox = 1,
    kBrowserOpera = 2,
    kBrowserChrome = 3,
    kBrowserSafari = 4,
    kBrowserOther = 5,  // any other, or none found
};

// The kind of a browser program by its path, lower-cased: the first of "iexplore", "firefox",
// "opera", "chrome", "safari" it contains; kBrowserOther when none (Debian's "chromium" among
// them).
int BrowserKindOf(std::string_view programPath);

// Firefox's manual HTTP proxy in the text of a prefs.js file: empty unless one line is
// user_pref("network.proxy.type", 1); (letter case aside); then the host, followed by ":"
// and the port when a port is set. See BrowserProxyDiscovery::GetFirefoxProxy.
std::string FirefoxProxyFromPrefs(std::string_view prefsText);

// The program of a desktop entry's Exec line as the desktop would start it: the first word
// (quotes and escapes of the desktop entry format honoured), after an "env" with its
// NAME=value words. Empty when there is none.
std::string DesktopExecProgram(std::string_view execValue);

// Finds the default browser and the browsers' proxies on this machine.
class BrowserProxyDiscovery {
public:
    struct Options {
        // Looks up an environment variable (HOME, PATH, XDG_DATA_HOME, XDG_DATA_DIRS);
        // default: the process environment.
        std::function<std::optional<std::string>(const std::string&)> getEnv;
        // The desktop file id of the program that opens HTML documents ("firefox.desktop"),
        // empty when none; default: "xdg-mime query default text/html", with a time limit.
        std::function<std::string()> htmlHandler;
        std::chrono::milliseconds timeout{2000};
        // The desktop's system proxy: Internet Explorer's setting stands for it (default:
        // this machine's, as the settings read it).
        std::shared_ptr<ISystemProxySource> systemProxy;
    };

    BrowserProxyDiscovery();
    explicit BrowserProxyDiscovery(Options options);

    // The full path of the program the desktop opens ".htm" files with: the Exec program of
    // the desktop entry that xdg-mime names for text/html, found in the applications folders
    // of XDG_DATA_HOME and XDG_DATA_DIRS and resolved through PATH. Empty when there is none.
    std::string GetDefaultBrowser();
    // BrowserKindOf(GetDefaultBrowser()).
    int GetDefaultBrowserKind();
    // The system proxy as "host:port" ("host" alone without a port): the variables
    // http_proxy and HTTP_PROXY, then GNOME's manual proxy. Empty when none.
    std::string GetIEProxy();
    // Opera's HTTP proxy: from the first existing of ~/.opera/operaprefs.ini, the default
    // browser's folder + "operaprefs.ini" and that folder + "Profile/operaprefs.ini"; in
    // section [Proxy], "HTTP server" when the integer "Use HTTP" is above 0, else empty.
    std::string GetOperaProxy();
    // Firefox's manual HTTP proxy: the first of ~/.mozilla/firefox/, the snap's and the
    // flatpak's Firefox folder holding "profiles.ini"; its [Profile0] Path (under the folder
    // when IsRelative is above 0) with "/prefs.js" read by FirefoxProxyFromPrefs.
    std::string GetFirefoxProxy();
    // GetFirefoxProxy for kind 1, GetOperaProxy for kind 2, GetIEProxy for any other kind.
    std::string GetDefaultBrowserProxy();

private:
    std::optional<std::string> Env(const std::string& name) const;
    std::string Home() const;
    std::string DesktopEntryPath(const std::string& id) const;

    Options options_;
};

}  // namespace korvalo
