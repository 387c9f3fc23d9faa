// ./run.sh against a finished build: it starts the card service, the demo service and Korvalo
// on a virtual display, an ID-card batch goes the whole road from the demo's request to a
// verified upload, and Ctrl-C stops every process it started.

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "demo/demo_fixture.h"
#include "support/files.h"
#include "support/wait.h"

namespace korvalo::demotest {
namespace {

namespace fs = std::filesystem;
using testing::ReadBytesOrEmpty;

bool PortOpen(unsigned short port) {
    try {
        RawCall(port, "");
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

// Processes whose session is sid (run.sh and everything it started).
std::vector<pid_t> SessionMembers(pid_t sid) {
    std::vector<pid_t> members;
    for (const auto& entry : fs::directory_iterator("/proc")) {
        const std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        const pid_t pid = std::stoi(name);
        if (::getsid(pid) == sid)
            members.push_back(pid);
    }
    return members;
}

class RunScriptTest : public ::testing::Test {
protected:
    void TearDown() override {
        if (FPid > 0) {
            ::kill(-FPid, SIGKILL);
            ::waitpid(FPid, nullptr, 0);
        }
    }

    // Starts run.sh in a session of its own, as a terminal would run it: SIGINT not ignored.
    void Start() {
        FPid = ::fork();
        ASSERT_GE(FPid, 0);
        if (FPid == 0) {
            ::setsid();
            ::signal(SIGINT, SIG_DFL);
            const std::string log = FLog.string();
            std::freopen(log.c_str(), "w", stdout);
            ::dup2(STDOUT_FILENO, STDERR_FILENO);
            ::unsetenv("DISPLAY");
            ::setenv("KORVALO_SKIP_BUILD", "1", 1);
            ::setenv("KORVALO_BUILD_DIR", KORVALO_BUILD_DIR, 1);
            ::setenv("KORVALO_DEMO_PORT", "0", 1);
            ::execl("/bin/bash", "bash", KORVALO_RUN_SCRIPT, static_cast<char*>(nullptr));
            ::_exit(127);
        }
    }

    // The address of the demo page once run.sh says everything runs; empty when it ended.
    std::string WaitUntilRunning() {
        for (int i = 0; i < 1200; ++i) {
            const std::string text = ReadBytesOrEmpty(FLog);
            const std::size_t at = text.find("demo page:");
            if (text.find("Korvalo demo is running") != std::string::npos &&
                at != std::string::npos) {
                std::istringstream line(text.substr(at + 10));
                std::string url;
                line >> url;
                return url;
            }
            int status = 0;
            if (::waitpid(FPid, &status, WNOHANG) == FPid) {
                FPid = -1;
                return {};
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return {};
    }

    TempDir FDir;
    fs::path FLog = FDir.path() / "run.log";
    pid_t FPid = -1;
};

TEST_F(RunScriptTest, RunsTheDemoAndStopsEverythingOnCtrlC) {
    if (PortOpen(48051))
        GTEST_SKIP() << "port 48051 is in use: another Korvalo runs on this machine";
    Start();
    const std::string url = WaitUntilRunning();
    ASSERT_FALSE(url.empty()) << ReadBytesOrEmpty(FLog);
    ASSERT_EQ(url.rfind("http://127.0.0.1:", 0), 0u) << url;
    // The demo token is offered beside the store.
    EXPECT_NE(ReadBytesOrEmpty(FLog).find("\"Korvalo Demo\" (Токенова Ольга Сергеевна), PIN 1234"),
              std::string::npos)
        << ReadBytesOrEmpty(FLog);
    const unsigned short port = static_cast<unsigned short>(std::stoi(url.substr(17)));
    const pid_t sid = FPid;
    EXPECT_GE(SessionMembers(sid).size(), 6u)
        << "run.sh, Xvfb, card service, maker's services, demo, korvalo";

    // The stand-in of the maker's services answers where the summary says.
    const std::string log = ReadBytesOrEmpty(FLog);
    const std::size_t vendor = log.find("maker's services: http://127.0.0.1:");
    ASSERT_NE(vendor, std::string::npos) << log;
    const unsigned short vendorPort =
        static_cast<unsigned short>(std::stoi(log.substr(vendor + 35)));
    const HttpReply pathLoader =
        HttpCall(vendorPort, "POST", "/scripts/PathLoaderSrv.dll/soap/IPathLoaderSrv",
                 {{"Content-Type", "text/xml; charset=utf-8"},
                  {"SOAPAction", "\"urn:uPathLoaderIntf-IPathLoaderSrv#GetDllPathAndMenu\""}},
                 "<e:Envelope xmlns:e=\"http://schemas.xmlsoap.org/soap/envelope/\"><e:Body>"
                 "<n:GetDllPathAndMenu xmlns:n=\"urn:uPathLoaderIntf-IPathLoaderSrv\">"
                 "<SoftwareID>{2A9EB3FF-6117-4CC4-BC58-647DCFEE6428}</SoftwareID><MenuID></MenuID>"
                 "</n:GetDllPathAndMenu></e:Body></e:Envelope>");
    EXPECT_EQ(pathLoader.status, 200) << pathLoader.body;
    EXPECT_NE(pathLoader.body.find(">true</return>"), std::string::npos) << pathLoader.body;

    // How to try an update: korvalo-update against this stand-in, with the updater's stand-in
    // ready beside it and settings that name the stand-in.
    const std::size_t hint = log.find("try an update:    DISPLAY=");
    ASSERT_NE(hint, std::string::npos) << log;
    EXPECT_NE(log.find("/korvalo-update", hint), std::string::npos) << log;
    EXPECT_TRUE(fs::exists(fs::path(KORVALO_BUILD_DIR) / "bin" / "_Renovar"));
    EXPECT_NE(ReadBytesOrEmpty(fs::path(KORVALO_BUILD_DIR) / "korvalo-demo" / "update.ini")
                  .find("PathLoaderURL=http://127.0.0.1:" + std::to_string(vendorPort) + "/"),
              std::string::npos);

    // The page's forms point at the running Korvalo.
    const HttpReply page = HttpCall(port, "GET", "/");
    EXPECT_NE(page.body.find("action=\"http://127.0.0.1:48051/\""), std::string::npos);

    // An ID-card batch needs no window: the whole road runs without a user.
    const nlohmann::json issued = NewRequest(port, "kind=batch&idcard=1");
    const HttpReply answer =
        HttpCall(48051, "POST", "/", {{"Content-Type", "application/json"}}, issued["document"]);
    EXPECT_EQ(answer.status, 200) << answer.body;
    EXPECT_EQ(answer.headers.count("access-control-allow-origin"), 1u);
    const nlohmann::json result = Results(port, issued["req"]);
    EXPECT_EQ(result["state"], "verified") << result.dump(2);
    ASSERT_EQ(result["uploads"].size(), 1u);
    for (const auto& s : result["uploads"][0]["signatures"]) {
        EXPECT_TRUE(s["verified"]);
        EXPECT_TRUE(s["chainsToCa"]) << "the card certificate comes from the demo CA";
        EXPECT_EQ(s["digest"]["oid"], "2.16.840.1.101.3.4.2.1");
    }

    // Ctrl-C: the terminal sends SIGINT to the whole foreground group.
    ASSERT_EQ(::kill(-sid, SIGINT), 0);
    int status = 0;
    ASSERT_EQ(::waitpid(FPid, &status, 0), FPid);
    FPid = -1;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 130) << status;
    EXPECT_TRUE(testing::WaitUntil([&] { return SessionMembers(sid).empty(); },
                                   std::chrono::seconds(10), std::chrono::milliseconds(100)))
        << ReadBytesOrEmpty(FLog);
    EXPECT_FALSE(PortOpen(48051));
    EXPECT_FALSE(PortOpen(port));
    EXPECT_FALSE(PortOpen(vendorPort));
}

}  // namespace
}  // namespace korvalo::demotest
