// korvalo-update as a process on a private X server, against the stand-in of the maker's
// services with two connections and the updater's stand-in: the connection-choice window, the
// splash, the question, and the arguments the updater receives.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "core/version.h"
#include "support/files.h"
#include "support/process.h"
#include "support/renovar_standin.h"
#include "support/vendor_service_process.h"
#include "support/wait.h"
#include "support/xvfb_server.h"

extern char** environ;

namespace korvalo {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::ReadBytesOrEmpty;
using testing::TempDir;
using vendortest::VendorServiceProcess;

class UpdateProcessTest : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(Bin());
        fs::create_directories(dir_ / "home");
        fs::copy_file(KORVALO_UPDATE_EXECUTABLE, Bin() / "korvalo-update");
        fs::copy_file(testing::RenovarStandinExecutable(), Bin() / "_Renovar");
    }
    fs::path Bin() const { return dir_ / "bin"; }

    // This process's environment without display, platform, settings and proxy variables, on a
    // private home and configuration folder, plus extra.
    std::vector<std::string> Env(const std::vector<std::string>& extra) const {
        std::vector<std::string> env;
        for (char** e = environ; *e != nullptr; ++e) {
            const std::string entry = *e;
            const std::string name = entry.substr(0, entry.find('='));
            if (name == "DISPLAY" || name == "WAYLAND_DISPLAY" || name == "QT_QPA_PLATFORM" ||
                name == "KORVALO_INI" || name == "XDG_CONFIG_HOME" || name == "HOME" ||
                name.ends_with("_proxy") || name.ends_with("_PROXY"))
                continue;
            env.push_back(entry);
        }
        env.push_back("HOME=" + (dir_ / "home").string());
        env.push_back("XDG_CONFIG_HOME=" + (dir_ / "config").string());
        env.insert(env.end(), extra.begin(), extra.end());
        return env;
    }

    // What xdotool prints for args, or nothing when it fails.
    std::optional<std::string> Xdotool(const std::vector<std::string>& args,
                                       const std::vector<std::string>& env) const {
        std::vector<std::string> argv = {"xdotool"};
        argv.insert(argv.end(), args.begin(), args.end());
        return testing::RunCommand(argv, env, (dir_ / "xdotool.out").string(), 10s);
    }

    // The visible windows of the process with that client-area size.
    std::vector<std::string> WindowsOfSize(pid_t pid, const std::string& size,
                                           const std::vector<std::string>& env) const {
        std::vector<std::string> found;
        const auto ids = Xdotool({"search", "--onlyvisible", "--pid", std::to_string(pid)}, env);
        if (!ids)
            return found;
        std::istringstream lines(*ids);
        for (std::string id; std::getline(lines, id);) {
            const auto geometry = Xdotool({"getwindowgeometry", id}, env);
            if (geometry && geometry->find("Geometry: " + size) != std::string::npos)
                found.push_back(id);
        }
        return found;
    }

    // Waits up to thirty seconds for a visible window of the process with that size.
    std::string WaitForWindow(pid_t pid, const std::string& size,
                              const std::vector<std::string>& env) const {
        std::vector<std::string> found;
        (void)testing::WaitUntil([&] { return !(found = WindowsOfSize(pid, size, env)).empty(); },
                                 30s, 50ms);
        return found.empty() ? std::string() : found.front();
    }

    TempDir dir_;
};

TEST_F(UpdateProcessTest, ChoiceSplashQuestionAndTheUpdatersArguments) {
    std::unique_ptr<testing::XvfbServer> xvfb;
    try {
        xvfb = std::make_unique<testing::XvfbServer>();
    } catch (const std::exception& e) {
        GTEST_SKIP() << e.what();
    }
    testing::WriteBytes(dir_ / "catalog.json", std::string(R"({"software": [
        {"id": ")") + kSoftwareId + R"(", "module": "korvalo", "version": "99.0.0.0",
         "download": "${SELF}/download/korvalo-99.0.0.0.tar.gz",
         "menus": {"": [{"name": "Основной сервер", "paths": ["${SELF}/main"]},
                        {"name": "Резервный сервер", "paths": ["${SELF}/reserve", "${SELF}/x"]}]}}
    ]})");
    // The version check (the second SOAP request) answers after two seconds: the splash stays
    // up meanwhile.
    VendorServiceProcess service({"--config", (dir_ / "catalog.json").string(), "--log",
                                  (dir_ / "vendor.log").string(), "--slow", "2000",
                                  "--fail-on-call", "2"});
    testing::WriteBytes(Bin() / "korvalo.ini", "[PathLoader]\nPathLoaderURLType=2\nPathLoaderURL=" +
                                                   service.PathLoaderEndpoint() + "\n");
    const fs::path record = dir_ / "renovar.json";
    const std::vector<std::string> env =
        Env({"DISPLAY=" + xvfb->Display(), "KORVALO_RENOVAR_RECORD=" + record.string(),
             "KORVALO_RENOVAR_CLOSE_MS=0"});
    testing::Process update({(Bin() / "korvalo-update").string()}, env, dir_.path().string(),
                            (dir_ / "update.log").string());

    // The choice window (330 by 141 for two connections): the second connection.
    const std::string menu = WaitForWindow(update.Pid(), "330x141", env);
    ASSERT_FALSE(menu.empty()) << ReadBytesOrEmpty(dir_ / "update.log");
    EXPECT_EQ(Xdotool({"getwindowname", menu}, env), "Korvalo: подключение к серверу\n");
    std::string splash;
    for (int attempt = 0; attempt < 20 && splash.empty(); ++attempt) {
        (void)Xdotool({"windowfocus", "--sync", menu}, env);
        (void)Xdotool({"mousemove", "--window", menu, "100", "92", "click", "1"}, env);
        // The splash (413 by 98) while the service thinks.
        splash = WaitForWindow(update.Pid(), "413x98", env);
    }
    ASSERT_FALSE(splash.empty()) << ReadBytesOrEmpty(dir_ / "update.log");

    // The question, captioned with the internal name: Yes is its default answer.
    std::string question;
    (void)testing::WaitUntil(
        [&] {
            const auto found = Xdotool({"search", "--onlyvisible", "--name", "^korvalo$"}, env);
            if (found && !found->empty())
                question = found->substr(0, found->find('\n'));
            return !question.empty();
        },
        30s, 50ms);
    ASSERT_FALSE(question.empty()) << ReadBytesOrEmpty(dir_ / "update.log");
    EXPECT_TRUE(WindowsOfSize(update.Pid(), "413x98", env).empty());  // the splash has gone
    std::optional<int> status;
    for (int attempt = 0; attempt < 20 && !status; ++attempt) {
        (void)Xdotool({"windowfocus", "--sync", question}, env);
        (void)Xdotool({"key", "--window", question, "Return"}, env);
        (void)Xdotool({"key", "Return"}, env);
        status = update.Wait(1s);
    }
    ASSERT_TRUE(status) << "korvalo-update did not end after the question";
    EXPECT_EQ(*status, 1) << ReadBytesOrEmpty(dir_ / "update.log");

    const auto arguments = testing::WaitForRenovarRecord(record, 30s);
    ASSERT_TRUE(arguments);
    const std::vector<std::string> expected = {"korvalo",
                                               kProgramVersion,
                                               "99.0.0.0",
                                               " ",
                                               "0",
                                               " ",
                                               " ",
                                               Bin().string() + "/",
                                               service.Url("/download/korvalo-99.0.0.0.tar.gz"),
                                               "ru"};
    EXPECT_EQ(*arguments, expected);
    // The updater was made ready in the per-user folder.
    EXPECT_EQ(ReadBytesOrEmpty(dir_ / "config" / "VALDOR" / "korvalo" / "Renovar"),
              ReadBytesOrEmpty(Bin() / "_Renovar"));

    // The update service was asked below the chosen connection's first path.
    const auto log = testing::ReadJsonLines(dir_ / "vendor.log");
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[1]["target"], "/reserve/soap/IUpdateSrv");
    EXPECT_NE(log[1]["body"].get<std::string>().find("CheckVersionNew"), std::string::npos);
    EXPECT_EQ(log[2]["target"], "/reserve/soap/IUpdateSrv");
    EXPECT_NE(log[2]["body"].get<std::string>().find("GetDownloadLinkNew"), std::string::npos);
}

TEST_F(UpdateProcessTest, WithoutADisplayItSaysSoAndEnds) {
    testing::Process update({(Bin() / "korvalo-update").string()}, Env({}), dir_.path().string(),
                            (dir_ / "update.log").string());
    const std::optional<int> status = update.Wait(30s);
    ASSERT_TRUE(status);
    EXPECT_EQ(*status, 4);
    EXPECT_NE(ReadBytesOrEmpty(dir_ / "update.log").find("нет дисплея"), std::string::npos);
}

}  // namespace
}  // namespace korvalo
