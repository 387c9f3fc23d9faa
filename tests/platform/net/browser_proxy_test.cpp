// The default browser and the browsers' proxies, over fixture home folders.

#include "platform/net/browser_proxy.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <map>

#include "support/files.h"
#include "support/system_proxy_double.h"

namespace korvalo {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;
using testing::WriteBytes;

// A home folder with its own programs, desktop entries and browser settings.
class BrowserHome : public ::testing::Test {
protected:
    fs::path Home() const { return dir_.path() / "home"; }

    // An executable program file; its path.
    fs::path Program(const std::string& relative) {
        const fs::path file = dir_.path() / relative;
        fs::create_directories(file.parent_path());
        WriteBytes(file, "#!/bin/sh\n");
        ::chmod(file.c_str(), 0755);
        return file;
    }

    // The desktop entry id with that Exec line, in the user's applications folder; an action's
    // Exec line follows in a group of its own.
    void Entry(const std::string& id, const std::string& exec) {
        File(".local/share/applications/" + id,
             "[Desktop Entry]\nType=Application\nName=Browser\nExec=" + exec +
                 "\n\n[Desktop Action new]\nExec=wrong --new\n");
    }

    void File(const std::string& relative, const std::string& text) {
        const fs::path file = Home() / relative;
        fs::create_directories(file.parent_path());
        WriteBytes(file, text);
    }

    BrowserProxyDiscovery Discovery(std::string htmlHandler, SystemProxy system = {}) {
        env_["HOME"] = Home().string();
        env_["PATH"] = (dir_.path() / "bin").string();
        env_["XDG_DATA_DIRS"] = (dir_.path() / "share").string();
        BrowserProxyDiscovery::Options options;
        options.getEnv = [env = env_](const std::string& name) -> std::optional<std::string> {
            const auto found = env.find(name);
            return found == env.end() ? std::nullopt : std::optional<std::string>(found->second);
        };
        options.htmlHandler = [htmlHandler] { return htmlHandler; };
        options.systemProxy = std::make_shared<testing::FakeSystemProxy>(std::move(system));
        return BrowserProxyDiscovery(options);
    }

    void FirefoxProfile(const std::string& folder, const std::string& prefs) {
        File(folder + "profiles.ini",
             "[General]\nStartWithLastProfile=1\n\n[Profile0]\nName=default\nIsRelative=1\n"
             "Path=Profiles/abc.default\n");
        File(folder + "Profiles/abc.default/prefs.js", prefs);
    }

    TempDir dir_;
    std::map<std::string, std::string> env_;
};

constexpr char kManualPrefs[] =
    "// Mozilla User Preferences\r\n"
    "user_pref(\"browser.startup.page\", 3);\r\n"
    "user_pref(\"network.proxy.http\", \"proxy.corp\");\r\n"
    "user_pref(\"network.proxy.http_port\", 3128);\r\n"
    "user_pref(\"network.proxy.type\", 1);\r\n";

TEST(BrowserKindOf, ByTheNameRulesInTheirOrder) {
    const std::pair<const char*, int> cases[] = {
        {"C:\\Program Files\\Internet Explorer\\IEXPLORE.EXE", kBrowserInternetExplorer},
        {"/usr/lib/firefox/firefox", kBrowserFirefox},
        {"/snap/bin/firefox", kBrowserFirefox},
        {"/usr/bin/opera", kBrowserOpera},
        {"/opt/google/chrome/google-chrome", kBrowserChrome},
        {"/usr/bin/Safari", kBrowserSafari},
        {"/usr/bin/chromium", kBrowserOther},  // "chromium" does not contain "chrome"
        {"/usr/bin/epiphany", kBrowserOther},
        {"", kBrowserOther},
    };
    for (const auto& [path, kind] : cases)
        EXPECT_EQ(BrowserKindOf(path), kind) << path;
}

TEST(DesktopExecProgram, TheFirstWordAfterEnv) {
    const std::pair<const char*, const char*> cases[] = {
        {"firefox %u", "firefox"},
        {"/usr/bin/google-chrome-stable %U", "/usr/bin/google-chrome-stable"},
        {"env BAMF_DESKTOP_FILE_HINT=/x.desktop /snap/bin/firefox %u", "/snap/bin/firefox"},
        {"\"/opt/My Browser/browser\" --new-window %u", "/opt/My Browser/browser"},
        {"\"/opt/a\\\"b/c\"", "/opt/a\"b/c"},
        {"", ""},
    };
    for (const auto& [exec, program] : cases)
        EXPECT_EQ(DesktopExecProgram(exec), program) << exec;
}

TEST(FirefoxProxyFromPrefs, ManualProxyOnly) {
    EXPECT_EQ(FirefoxProxyFromPrefs(kManualPrefs), "proxy.corp:3128");
    // The type line's letter case does not matter, the other markers' does.
    EXPECT_EQ(FirefoxProxyFromPrefs("USER_PREF(\"network.proxy.type\", 1);\n"
                                    "user_pref(\"network.proxy.http\", \"h\");\n"),
              "h");
    const std::pair<const char*, const char*> empty[] = {
        {"user_pref(\"network.proxy.type\", 2);\nuser_pref(\"network.proxy.http\", \"h\");\n",
         "automatic configuration"},
        {"user_pref(\"network.proxy.http\", \"h\");\n", "no type line"},
        {" user_pref(\"network.proxy.type\", 1);\nuser_pref(\"network.proxy.http\", \"h\");\n",
         "the type line must match whole"},
        {"user_pref(\"network.proxy.type\", 1);\n", "manual without a host"},
    };
    for (const auto& [prefs, why] : empty)
        EXPECT_EQ(FirefoxProxyFromPrefs(prefs), "") << why;
}

TEST_F(BrowserHome, FirefoxAsDefaultGivesItsManualProxy) {
    const fs::path firefox = Program("bin/firefox");
    Entry("firefox.desktop", "firefox %u");
    FirefoxProfile(".mozilla/firefox/", kManualPrefs);
    BrowserProxyDiscovery discovery = Discovery("firefox.desktop", {"ie.proxy", 8080});
    EXPECT_EQ(discovery.GetDefaultBrowser(), firefox.string());
    EXPECT_EQ(discovery.GetDefaultBrowserKind(), kBrowserFirefox);
    EXPECT_EQ(discovery.GetFirefoxProxy(), "proxy.corp:3128");
    EXPECT_EQ(discovery.GetDefaultBrowserProxy(), "proxy.corp:3128");
    EXPECT_EQ(discovery.GetIEProxy(), "ie.proxy:8080");
}

TEST_F(BrowserHome, FirefoxPrefsCases) {
    struct Case {
        const char* prefs;
        const char* proxy;
    };
    const Case cases[] = {
        {kManualPrefs, "proxy.corp:3128"},
        {"user_pref(\"network.proxy.type\", 2);\nuser_pref(\"network.proxy.http\", \"h\");\n"
         "user_pref(\"network.proxy.http_port\", 1);\n",
         ""},
        {"user_pref(\"network.proxy.http\", \"host.only\");\nuser_pref(\"network.proxy.type\", "
         "1);\n",
         "host.only"},
    };
    for (const Case& c : cases) {
        FirefoxProfile(".mozilla/firefox/", c.prefs);
        EXPECT_EQ(Discovery("").GetFirefoxProxy(), c.proxy) << c.prefs;
    }
}

TEST_F(BrowserHome, FirefoxFolderOfTheSnapAndAnAbsoluteProfile) {
    // No ~/.mozilla/firefox: the snap's folder holds profiles.ini, with an absolute Path.
    const fs::path profile = dir_.path() / "elsewhere/profile";
    File("snap/firefox/common/.mozilla/firefox/profiles.ini",
         "[Profile0]\nIsRelative=0\nPath=" + profile.string() + "\n");
    fs::create_directories(profile);
    WriteBytes(profile / "prefs.js", kManualPrefs);
    EXPECT_EQ(Discovery("").GetFirefoxProxy(), "proxy.corp:3128");
    // Without profiles.ini anywhere: nothing.
    fs::remove_all(Home() / "snap");
    EXPECT_EQ(Discovery("").GetFirefoxProxy(), "");
}

TEST_F(BrowserHome, OperaUseHttp) {
    File(".opera/operaprefs.ini",
         "[User Prefs]\nUse HTTP=0\n[Proxy]\nUse HTTP=1\n"
         "HTTP server=opera.corp:8080\n");
    EXPECT_EQ(Discovery("").GetOperaProxy(), "opera.corp:8080");
    File(".opera/operaprefs.ini", "[Proxy]\nUse HTTP=0\nHTTP server=opera.corp:8080\n");
    EXPECT_EQ(Discovery("").GetOperaProxy(), "");
}

TEST_F(BrowserHome, OperaAsDefaultReadsItsOwnFolder) {
    const fs::path opera = Program("bin/opera");
    Entry("opera.desktop", "opera %u");
    WriteBytes(dir_.path() / "bin/operaprefs.ini", "[proxy]\nuse http=1\nhttp server=beside\n");
    BrowserProxyDiscovery discovery = Discovery("opera.desktop", {"ie.proxy", 0});
    EXPECT_EQ(discovery.GetDefaultBrowserKind(), kBrowserOpera);
    EXPECT_EQ(discovery.GetDefaultBrowserProxy(), "beside");
    EXPECT_EQ(discovery.GetIEProxy(), "ie.proxy");
}

TEST_F(BrowserHome, NoDefaultBrowser) {
    // A preferences file beside a program that is no default browser is not looked at.
    Program("bin/opera");
    WriteBytes(dir_.path() / "bin/operaprefs.ini", "[Proxy]\nUse HTTP=1\nHTTP server=beside\n");
    for (const char* handler : {"", "missing.desktop"}) {
        BrowserProxyDiscovery discovery = Discovery(handler, {"ie.proxy", 3128});
        EXPECT_EQ(discovery.GetDefaultBrowser(), "") << handler;
        EXPECT_EQ(discovery.GetDefaultBrowserKind(), kBrowserOther);
        EXPECT_EQ(discovery.GetOperaProxy(), "");
        EXPECT_EQ(discovery.GetDefaultBrowserProxy(), "ie.proxy:3128");
    }
    // An entry whose program is not there counts as none.
    Entry("ghost.desktop", "ghost-browser %u");
    EXPECT_EQ(Discovery("ghost.desktop").GetDefaultBrowser(), "");
}

TEST_F(BrowserHome, ChromeAsDefaultUsesTheSystemProxy) {
    const fs::path chrome = Program("opt/google/chrome/google-chrome");
    // The entry lives in a system data folder, under a vendor sub-folder of its id.
    fs::create_directories(dir_.path() / "share/applications/google");
    WriteBytes(dir_.path() / "share/applications/google/chrome.desktop",
               "[Desktop Entry]\nExec=" + chrome.string() + " %U\n");
    FirefoxProfile(".mozilla/firefox/", kManualPrefs);
    BrowserProxyDiscovery discovery = Discovery("google-chrome.desktop", {"ie.proxy", 8080});
    EXPECT_EQ(discovery.GetDefaultBrowser(), chrome.string());
    EXPECT_EQ(discovery.GetDefaultBrowserKind(), kBrowserChrome);
    EXPECT_EQ(discovery.GetDefaultBrowserProxy(), "ie.proxy:8080");
    // Debian's chromium is no "chrome": kind 5, and Internet Explorer's proxy as well.
    Program("bin/chromium");
    Entry("chromium.desktop", "chromium %U");
    BrowserProxyDiscovery chromium = Discovery("chromium.desktop", {"", 0});
    EXPECT_EQ(chromium.GetDefaultBrowserKind(), kBrowserOther);
    EXPECT_EQ(chromium.GetDefaultBrowserProxy(), "");
}

// The desktop's own answer: xdg-mime reads the user's mimeapps.list.
TEST_F(BrowserHome, TheDesktopNamesTheDefaultBrowser) {
    const fs::path firefox = Program("bin/firefox");
    Entry("firefox.desktop", "firefox %u");
    File(".config/mimeapps.list", "[Default Applications]\ntext/html=firefox.desktop\n");
    ::setenv("HOME", Home().c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (Home() / ".config").c_str(), 1);
    ::setenv("XDG_DATA_HOME", (Home() / ".local/share").c_str(), 1);
    ::setenv("XDG_DATA_DIRS", (dir_.path() / "share").c_str(), 1);
    ::unsetenv("XDG_CURRENT_DESKTOP");
    const std::string path = std::getenv("PATH") != nullptr ? std::getenv("PATH") : "";
    ::setenv("PATH", ((dir_.path() / "bin").string() + ":" + path).c_str(), 1);
    BrowserProxyDiscovery::Options options;
    options.systemProxy = std::make_shared<testing::FakeSystemProxy>(SystemProxy{});
    BrowserProxyDiscovery discovery(options);
    EXPECT_EQ(discovery.GetDefaultBrowser(), firefox.string());
}

}  // namespace
}  // namespace korvalo
