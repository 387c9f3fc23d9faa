#include "platform/net/system_proxy.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <thread>

#include "support/files.h"
#include "support/wait.h"

namespace korvalo {
namespace {

namespace fs = std::filesystem;

TEST(ParseProxyServerList, TakesTheHttpEntryThenSplitsHostAndPort) {
    struct Case {
        std::string list;
        std::string host;
        int port;
    };
    const Case cases[] = {
        {"http=H:3128;https=H:3129", "H", 3128},
        {"https=S:443;http=H:3128;ftp=F:21", "H", 3128},
        {"H:8080", "H", 8080},
        {"H", "H", 0},
        {"H:abc", "H", 0},
        {"H:", "H", 0},
        {"H:99999", "H", 0},
        {"http=H", "H", 0},
        {" proxy.corp:3128 ", "proxy.corp", 3128},
        {"[::1]:3128", "[::1]", 3128},
        {"[fe80::1]", "[fe80::1]", 0},
        {"", "", 0},
    };
    for (const Case& c : cases) {
        const SystemProxy p = ParseProxyServerList(c.list);
        EXPECT_EQ(p.host, c.host) << c.list;
        EXPECT_EQ(p.port, c.port) << c.list;
    }
}

TEST(ProxyUrlToServerText, DropsSchemeUserInformationAndPath) {
    const std::pair<std::string, std::string> cases[] = {
        {"http://proxy.corp:3128/", "proxy.corp:3128"},
        {"http://user:p@ss@proxy.corp:3128/path?x#y", "proxy.corp:3128"},
        {"https://proxy.corp", "proxy.corp"},
        {"proxy.corp:8080", "proxy.corp:8080"},
        {" 10.0.0.1:3128/ ", "10.0.0.1:3128"},
        {"http://[::1]:3128", "[::1]:3128"},
        {"", ""},
    };
    for (const auto& [url, text] : cases)
        EXPECT_EQ(ProxyUrlToServerText(url), text) << url;
}

TEST(GnomeProxyServerText, ReadsTheManualHttpProxyOnly) {
    const std::string manual =
        "org.gnome.system.proxy autoconfig-url ''\n"
        "org.gnome.system.proxy mode 'manual'\n"
        "org.gnome.system.proxy.ftp host 'ftp.corp'\n"
        "org.gnome.system.proxy.ftp port 21\n"
        "org.gnome.system.proxy.http host 'proxy.corp'\n"
        "org.gnome.system.proxy.http port 3128\n"
        "org.gnome.system.proxy.https host 'secure.corp'\n"
        "org.gnome.system.proxy.https port 443\n";
    EXPECT_EQ(GnomeProxyServerText(manual), "proxy.corp:3128");
    EXPECT_EQ(GnomeProxyServerText("org.gnome.system.proxy mode 'manual'\n"
                                   "org.gnome.system.proxy.http host 'http://u@proxy.corp/'\n"
                                   "org.gnome.system.proxy.http port 0\n"),
              "proxy.corp");
    EXPECT_EQ(GnomeProxyServerText("org.gnome.system.proxy mode 'manual'\n"
                                   "org.gnome.system.proxy.http host 'proxy.corp:8080'\n"
                                   "org.gnome.system.proxy.http port 3128\n"),
              "proxy.corp:8080");
    EXPECT_EQ(GnomeProxyServerText("org.gnome.system.proxy mode 'manual'\n"
                                   "org.gnome.system.proxy.http host \"it's\\\\here\"\n"),
              "it's\\here");
    EXPECT_EQ(GnomeProxyServerText("org.gnome.system.proxy mode 'none'\n"
                                   "org.gnome.system.proxy.http host 'proxy.corp'\n"),
              "");
    EXPECT_EQ(GnomeProxyServerText("org.gnome.system.proxy mode 'auto'\n"
                                   "org.gnome.system.proxy.http host 'proxy.corp'\n"),
              "");
    EXPECT_EQ(GnomeProxyServerText("org.gnome.system.proxy mode 'manual'\n"
                                   "org.gnome.system.proxy.http host ''\n"
                                   "org.gnome.system.proxy.http port 3128\n"),
              "");
    EXPECT_EQ(GnomeProxyServerText("garbage\n\n  \n"), "");
}

// A temporary folder with fake "gsettings" programs and an environment made up by the test.
class SystemProxySourceTest : public ::testing::Test {
protected:
    // Writes an executable shell script named name into the folder.
    std::string Script(const std::string& name, const std::string& body) const {
        const fs::path p = dir_ / name;
        std::ofstream(p) << "#!/bin/sh\n" << body;
        fs::permissions(p, fs::perms::owner_all);
        return p.string();
    }
    SystemProxy Get(std::string gsettings = "gsettings",
                    std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) {
        SystemProxySource::Options options;
        options.getEnv = [this](const std::string& name) -> std::optional<std::string> {
            const auto it = env_.find(name);
            return it == env_.end() ? std::nullopt : std::optional<std::string>(it->second);
        };
        options.gsettings = std::move(gsettings);
        options.timeout = timeout;
        return SystemProxySource(options).GetSystemProxy();
    }
    std::string Read(const std::string& name) const {
        return testing::ReadBytesOrEmpty(dir_ / name);
    }

    testing::TempDir temp_;
    const fs::path dir_ = temp_.path();
    std::map<std::string, std::string> env_{{"PATH", dir_.string()}};
};

constexpr const char* kManualGnome =
    "[ \"$1\" = list-recursively ] && [ \"$2\" = org.gnome.system.proxy ] || exit 1\n"
    "echo \"org.gnome.system.proxy mode 'manual'\"\n"
    "echo \"org.gnome.system.proxy.http host 'gnome.proxy'\"\n"
    "echo \"org.gnome.system.proxy.http port 8080\"\n";

TEST_F(SystemProxySourceTest, EnvironmentComesFirst) {
    Script("gsettings", kManualGnome);

    env_["http_proxy"] = "http://user:pw@env.proxy:3128/";
    env_["HTTP_PROXY"] = "upper.proxy:1";
    SystemProxy p = Get();
    EXPECT_EQ(p.host, "env.proxy");
    EXPECT_EQ(p.port, 3128);

    env_["http_proxy"] = " ";
    p = Get();
    EXPECT_EQ(p.host, "upper.proxy");
    EXPECT_EQ(p.port, 1);

    env_["HTTP_PROXY"] = "http=H:3128;https=H:3129";
    p = Get();
    EXPECT_EQ(p.host, "H");
    EXPECT_EQ(p.port, 3128);

    env_.erase("HTTP_PROXY");
    env_["http_proxy"] = "bare.host";
    p = Get();
    EXPECT_EQ(p.host, "bare.host");
    EXPECT_EQ(p.port, 0);
}

TEST_F(SystemProxySourceTest, GnomeSettingsThroughTheGsettingsCommand) {
    Script("gsettings", kManualGnome);
    SystemProxy p = Get();  // found in PATH
    EXPECT_EQ(p.host, "gnome.proxy");
    EXPECT_EQ(p.port, 8080);

    p = Get(Script("gsettings-none", "echo \"org.gnome.system.proxy mode 'none'\"\n"));
    EXPECT_EQ(p.host, "");

    // A failing command (as when the schema is not installed) names no proxy.
    p = Get(Script("gsettings-fails",
                   "echo \"org.gnome.system.proxy mode 'manual'\"\n"
                   "echo \"org.gnome.system.proxy.http host 'x'\"\n"
                   "exit 1\n"));
    EXPECT_EQ(p.host, "");
}

TEST_F(SystemProxySourceTest, NoSettingsNoCommandGivesNothing) {
    env_["PATH"] = (dir_ / "empty").string();
    const SystemProxy p = Get();
    EXPECT_EQ(p.host, "");
    EXPECT_EQ(p.port, 0);
    EXPECT_EQ(Get((dir_ / "missing").string()).host, "");
    // A file that is not executable is not run.
    std::ofstream(dir_ / "plain") << "echo \"org.gnome.system.proxy mode 'manual'\"\n";
    EXPECT_EQ(Get((dir_ / "plain").string()).host, "");
}

TEST_F(SystemProxySourceTest, ACommandThatHangsIsKilled) {
    // Prints a complete manual configuration, then never ends.
    const std::string hangs = Script("gsettings-hangs",
                                     "echo $$ > \"$(dirname \"$0\")/pid\"\n"
                                     "echo \"org.gnome.system.proxy mode 'manual'\"\n"
                                     "echo \"org.gnome.system.proxy.http host 'late.proxy'\"\n"
                                     "exec sleep 600\n");
    EXPECT_EQ(Get(hangs, std::chrono::milliseconds(300)).host, "");
    const pid_t pid = std::stoi(Read("pid"));
    EXPECT_EQ(::kill(pid, 0), -1);  // gone and reaped
    EXPECT_EQ(errno, ESRCH);

    // Closes its output but goes on running: also killed, with its children.
    const std::string detaches = Script("gsettings-detaches",
                                        "echo \"org.gnome.system.proxy mode 'manual'\"\n"
                                        "exec >/dev/null\n"
                                        "sleep 600 &\n"
                                        "echo $! > \"$(dirname \"$0\")/child\"\n"
                                        "wait\n");
    EXPECT_EQ(Get(detaches, std::chrono::milliseconds(300)).host, "");
    const pid_t child = std::stoi(Read("child"));
    // The grandchild got SIGKILL with its group; wait until it is dead (a zombie is dead too:
    // its parent is gone, and not every container reaps orphans).
    auto state = [child] {
        std::ifstream in("/proc/" + std::to_string(child) + "/stat");
        std::string pidText, comm, st;
        in >> pidText >> comm >> st;
        return st;
    };
    std::string last;
    EXPECT_TRUE(testing::WaitUntil(
        [&] {
            last = state();
            return last.empty() || last == "Z" || last == "X";
        },
        std::chrono::seconds(10)))
        << last;
}

}  // namespace
}  // namespace korvalo
