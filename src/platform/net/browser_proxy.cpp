#include "platform/net/browser_proxy.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <vector>

#include "core/text.h"
#include "platform/desktop/commands.h"

namespace korvalo {

namespace {

namespace fs = std::filesystem;

constexpr std::uintmax_t kMaxSettingsFile = 1u << 20;  // profiles.ini, operaprefs.ini, entries
constexpr std::uintmax_t kMaxPrefsFile = 16u << 20;    // prefs.js

// The bytes of a regular file of at most maxBytes; nothing otherwise.
[[nodiscard]] std::optional<std::string> ReadSmallFile(const std::string& path,
                                                       std::uintmax_t maxBytes) {
    std::error_code ec;
    if (!fs::is_regular_file(path, ec))
        return std::nullopt;
    const std::uintmax_t size = fs::file_size(path, ec);
    if (ec || size > maxBytes)
        return std::nullopt;
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::string bytes(static_cast<std::size_t>(size), '\0');
    in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    bytes.resize(static_cast<std::size_t>(in.gcount()));
    return bytes;
}

bool FileExists(const std::string& path) {
    std::error_code ec;
    return fs::is_regular_file(path, ec);
}

// A value of an INI file read the way the Windows profile functions read it: section and key
// names without regard to case, the first matching key wins, blanks around the value and one
// pair of enclosing quotes removed. Nothing when the key is missing.
std::optional<std::string> IniValue(std::string_view text, std::string_view section,
                                    std::string_view key) {
    bool inSection = false;
    for (const std::string& raw : SplitLines(text)) {
        const std::string line = Trim(raw);
        if (line.empty() || line[0] == ';')
            continue;
        if (line.front() == '[') {
            const std::size_t close = line.find(']');
            inSection = close != std::string::npos &&
                        EqualsNoCase(Trim(std::string_view(line).substr(1, close - 1)), section);
            continue;
        }
        if (!inSection)
            continue;
        const std::size_t eq = line.find('=');
        if (eq == std::string::npos || !EqualsNoCase(Trim(line.substr(0, eq)), key))
            continue;
        std::string value = Trim(line.substr(eq + 1));
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
            value.back() == value.front())
            value = value.substr(1, value.size() - 2);
        return value;
    }
    return std::nullopt;
}

// An integer value as the profile functions' callers read it: decimal or hexadecimal ("$",
// "0x"); fallback when missing or no number.
int IniInteger(std::string_view text, std::string_view section, std::string_view key,
               int fallback) {
    const std::optional<std::string> value = IniValue(text, section, key);
    std::int32_t number = 0;
    if (!value || !ParseInteger(*value, number))
        return fallback;
    return number;
}

// The text after marker up to the first ");" that follows, without double quotes and blanks
// around; empty when the marker or the end is missing.
std::string PrefValue(std::string_view text, std::string_view marker) {
    const std::size_t at = text.find(marker);
    if (at == std::string_view::npos)
        return {};
    const std::string_view rest = text.substr(at + marker.size());
    const std::size_t end = rest.find(");");
    if (end == std::string_view::npos)
        return {};
    std::string value(rest.substr(0, end));
    std::erase(value, '"');
    return Trim(value);
}

std::string WithSlash(std::string folder) {
    if (!folder.empty() && folder.back() != '/')
        folder.push_back('/');
    return folder;
}

// The desktop's answer to "which program opens HTML": a desktop file id, or empty.
std::string QueryHtmlHandler(std::chrono::milliseconds timeout) {
    const char* path = std::getenv("PATH");
    const std::optional<std::string> xdgMime =
        FindExecutable("xdg-mime", path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin");
    if (!xdgMime)
        return {};
    const std::optional<std::string> output =
        RunCapture(*xdgMime, {"query", "default", "text/html"}, timeout, 64 * 1024);
    if (!output)
        return {};
    const std::vector<std::string> lines = SplitLines(*output);
    return lines.empty() ? std::string() : Trim(lines.front());
}

}  // namespace

int BrowserKindOf(std::string_view programPath) {
    const std::string name = ToLowerAscii(programPath);
    static constexpr std::pair<const char*, int> kNames[] = {
        {"iexplore", kBrowserInternetExplorer},
        {"firefox", kBrowserFirefox},
        {"opera", kBrowserOpera},
        {"chrome", kBrowserChrome},
        {"safari", kBrowserSafari},
    };
    for (const auto& [part, kind] : kNames) {
        if (name.find(part) != std::string::npos)
            return kind;
    }
    return kBrowserOther;
}

std::string FirefoxProxyFromPrefs(std::string_view prefsText) {
    bool manual = false;
    for (const std::string& line : SplitLines(prefsText)) {
        if (EqualsNoCase(line, R"(user_pref("network.proxy.type", 1);)")) {
            manual = true;
            break;
        }
    }
    if (!manual)
        return {};
    const std::string host = PrefValue(prefsText, R"(user_pref("network.proxy.http",)");
    const std::string port = PrefValue(prefsText, R"(user_pref("network.proxy.http_port",)");
    return port.empty() ? host : host + ":" + port;
}

std::string DesktopExecProgram(std::string_view execValue) {
    // Words of the Exec value: blanks separate, double quotes enclose, a backslash inside
    // quotes escapes the next character.
    std::vector<std::string> words;
    std::string word;
    bool inWord = false;
    bool quoted = false;
    for (std::size_t i = 0; i < execValue.size(); ++i) {
        const char c = execValue[i];
        if (quoted) {
            if (c == '\\' && i + 1 < execValue.size())
                word.push_back(execValue[++i]);
            else if (c == '"')
                quoted = false;
            else
                word.push_back(c);
        } else if (c == '"') {
            quoted = inWord = true;
        } else if (c == ' ' || c == '\t') {
            if (inWord)
                words.push_back(std::move(word));
            word.clear();
            inWord = false;
        } else {
            word.push_back(c);
            inWord = true;
        }
    }
    if (inWord)
        words.push_back(std::move(word));
    std::size_t first = 0;
    if (first < words.size() && (words[first] == "env" || words[first].ends_with("/env"))) {
        ++first;
        while (first < words.size() && words[first].find('=') != std::string::npos)
            ++first;
    }
    return first < words.size() ? words[first] : std::string();
}

BrowserProxyDiscovery::BrowserProxyDiscovery() : BrowserProxyDiscovery(Options{}) {}

BrowserProxyDiscovery::BrowserProxyDiscovery(Options options) : options_(std::move(options)) {
    if (!options_.htmlHandler) {
        const auto timeout = options_.timeout;
        options_.htmlHandler = [timeout] { return QueryHtmlHandler(timeout); };
    }
    if (!options_.systemProxy)
        options_.systemProxy = std::make_shared<SystemProxySource>();
}

std::optional<std::string> BrowserProxyDiscovery::Env(const std::string& name) const {
    if (options_.getEnv)
        return options_.getEnv(name);
    const char* value = std::getenv(name.c_str());
    return value != nullptr ? std::optional<std::string>(value) : std::nullopt;
}

std::string BrowserProxyDiscovery::Home() const {
    const std::optional<std::string> home = Env("HOME");
    return WithSlash(home && !home->empty() ? *home : "/");
}

// The file of a desktop entry: id in the "applications" folder of each data folder, first
// XDG_DATA_HOME, then XDG_DATA_DIRS; a "-" of the id may stand for a sub-folder
// ("kde-foo.desktop" is also "kde/foo.desktop").
std::string BrowserProxyDiscovery::DesktopEntryPath(const std::string& id) const {
    if (id.empty() || id.find('/') != std::string::npos || id.starts_with("."))
        return {};
    std::vector<std::string> folders;
    const std::optional<std::string> dataHome = Env("XDG_DATA_HOME");
    folders.push_back(dataHome && !dataHome->empty() ? WithSlash(*dataHome)
                                                     : Home() + ".local/share/");
    std::string dataDirs = Env("XDG_DATA_DIRS").value_or("");
    if (dataDirs.empty())
        dataDirs = "/usr/local/share/:/usr/share/";
    std::size_t start = 0;
    while (start <= dataDirs.size()) {
        std::size_t end = dataDirs.find(':', start);
        if (end == std::string::npos)
            end = dataDirs.size();
        if (end > start)
            folders.push_back(WithSlash(dataDirs.substr(start, end - start)));
        start = end + 1;
    }
    for (const std::string& folder : folders) {
        const std::string apps = folder + "applications/";
        if (FileExists(apps + id))
            return apps + id;
        for (std::size_t dash = id.find('-'); dash != std::string::npos;
             dash = id.find('-', dash + 1)) {
            std::string nested = id;
            nested[dash] = '/';
            if (FileExists(apps + nested))
                return apps + nested;
        }
    }
    return {};
}

std::string BrowserProxyDiscovery::GetDefaultBrowser() {
    const std::string entry = DesktopEntryPath(Trim(options_.htmlHandler()));
    if (entry.empty())
        return {};
    const std::optional<std::string> text = ReadSmallFile(entry, kMaxSettingsFile);
    if (!text)
        return {};
    const std::optional<std::string> exec = IniValue(*text, "Desktop Entry", "Exec");
    if (!exec)
        return {};
    const std::string program = DesktopExecProgram(*exec);
    if (program.empty())
        return {};
    const std::optional<std::string> found =
        FindExecutable(program, Env("PATH").value_or("/usr/local/bin:/usr/bin:/bin"));
    if (!found)
        return {};
    std::error_code ec;
    const fs::path absolute = fs::absolute(*found, ec);
    return ec ? *found : absolute.lexically_normal().string();
}

int BrowserProxyDiscovery::GetDefaultBrowserKind() {
    return BrowserKindOf(GetDefaultBrowser());
}

std::string BrowserProxyDiscovery::GetIEProxy() {
    const SystemProxy proxy = options_.systemProxy->GetSystemProxy();
    if (proxy.host.empty())
        return {};
    return proxy.port != 0 ? proxy.host + ":" + std::to_string(proxy.port) : proxy.host;
}

std::string BrowserProxyDiscovery::GetOperaProxy() {
    std::vector<std::string> candidates = {Home() + ".opera/operaprefs.ini"};
    const std::string browser = GetDefaultBrowser();
    if (!browser.empty()) {
        const std::string folder = WithSlash(fs::path(browser).parent_path().string());
        candidates.push_back(folder + "operaprefs.ini");
        candidates.push_back(folder + "Profile/operaprefs.ini");
    }
    for (const std::string& file : candidates) {
        if (!FileExists(file))
            continue;
        const std::string text = ReadSmallFile(file, kMaxSettingsFile).value_or("");
        if (IniInteger(text, "Proxy", "Use HTTP", 0) > 0)
            return IniValue(text, "Proxy", "HTTP server").value_or("");
        return {};
    }
    return {};
}

std::string BrowserProxyDiscovery::GetFirefoxProxy() {
    const std::string home = Home();
    for (const char* place : {".mozilla/firefox/", "snap/firefox/common/.mozilla/firefox/",
                              ".var/app/org.mozilla.firefox/.mozilla/firefox/"}) {
        const std::string folder = home + place;
        if (!FileExists(folder + "profiles.ini"))
            continue;
        const std::string profiles =
            ReadSmallFile(folder + "profiles.ini", kMaxSettingsFile).value_or("");
        const std::string path = IniValue(profiles, "Profile0", "Path").value_or("");
        const std::string profile =
            IniInteger(profiles, "Profile0", "IsRelative", 0) > 0 ? folder + path : path;
        const std::optional<std::string> prefs =
            ReadSmallFile(profile + "/prefs.js", kMaxPrefsFile);
        return prefs ? FirefoxProxyFromPrefs(*prefs) : std::string();
    }
    return {};
}

std::string BrowserProxyDiscovery::GetDefaultBrowserProxy() {
    switch (GetDefaultBrowserKind()) {
        case kBrowserFirefox:
            return GetFirefoxProxy();
        case kBrowserOpera:
            return GetOperaProxy();
        default:
            return GetIEProxy();
    }
}

}  // namespace korvalo
