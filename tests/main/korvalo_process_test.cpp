// The real korvalo program: a second copy on the same display, and runs without a
// notification area or without any display.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "support/files.h"
#include "support/http_exchange.h"
#include "support/process.h"
#include "support/wait.h"
#include "support/xvfb_server.h"

extern char** environ;

namespace korvalo {
namespace {

namespace fs = std::filesystem;
using testing::ReadBytesOrEmpty;
using namespace std::chrono_literals;

constexpr std::uint16_t kPort = 48051;

bool Answers200(const std::optional<std::string>& answer) {
    return answer && answer->rfind("HTTP/1.1 200 OK\r\n", 0) == 0;
}

// Waits until the endpoint answers OPTIONS with 200, at most limit.
bool WaitForEndpoint(std::chrono::milliseconds limit) {
    return testing::WaitUntil([] { return Answers200(testing::Options(kPort)); }, limit, 20ms);
}

// Waits until the file holds text, at most limit.
bool WaitForText(const fs::path& file, const std::string& text, int times,
                 std::chrono::milliseconds limit) {
    return testing::WaitUntil(
        [&] {
            const std::string content = ReadBytesOrEmpty(file);
            int found = 0;
            for (std::size_t at = content.find(text); at != std::string::npos;
                 at = content.find(text, at + 1))
                ++found;
            return found >= times;
        },
        limit, 50ms);
}

// A folder with a copy of the program (its settings file and protocol file live beside it).
class KorvaloProcessTest : public ::testing::Test {
protected:
    void SetUp() override {
        fs::copy_file(KORVALO_EXECUTABLE, dir_ / "korvalo");
        fs::create_directories(dir_ / "config");
        ASSERT_FALSE(Answers200(testing::Options(kPort)))
            << "another program answers on port 48051";
    }
    void PutIni(const std::string& text) const { std::ofstream(dir_ / "korvalo.ini") << text; }

    // The environment of this process without display, platform, settings and certificate
    // store variables, plus extra (which replaces what it names).
    std::vector<std::string> Env(const std::vector<std::string>& extra) const {
        std::vector<std::string> env;
        for (char** e = environ; *e != nullptr; ++e) {
            const std::string entry = *e;
            const std::string name = entry.substr(0, entry.find('='));
            if (name == "DISPLAY" || name == "WAYLAND_DISPLAY" || name == "QT_QPA_PLATFORM" ||
                name == "KORVALO_INI" || name == "XDG_CONFIG_HOME" || name == "http_proxy" ||
                name == "HTTP_PROXY" || name == "KORVALO_CERT_STORE")
                continue;
            bool replaced = false;
            for (const std::string& wanted : extra)
                replaced |= wanted.rfind(name + "=", 0) == 0;
            if (!replaced)
                env.push_back(entry);
        }
        env.push_back("XDG_CONFIG_HOME=" + (dir_ / "config").string());
        env.push_back("KORVALO_LOG_STDERR=1");
        env.insert(env.end(), extra.begin(), extra.end());
        return env;
    }
    std::unique_ptr<testing::Process> Start(const std::vector<std::string>& extraEnv,
                                            const std::string& logName) const {
        return std::make_unique<testing::Process>(
            std::vector<std::string>{(dir_ / "korvalo").string()}, Env(extraEnv), dir_.string(),
            (dir_ / logName).string());
    }

    testing::TempDir temp_;
    const fs::path dir_ = temp_.path();
};

// Two copies on one display: the second cannot open the port, says so in a message box, ends
// once the box is closed, and has recreated the protocol file; the first goes on serving.
TEST_F(KorvaloProcessTest, ASecondCopyShowsThePortMessageAndEnds) {
    std::unique_ptr<testing::XvfbServer> xvfb;
    try {
        xvfb = std::make_unique<testing::XvfbServer>();
    } catch (const std::exception& e) {
        GTEST_SKIP() << e.what();
    }
    const std::string display = "DISPLAY=" + xvfb->Display();
    PutIni("[Main]\ndebug=true\n");

    auto first = Start({display}, "first.log");
    ASSERT_TRUE(WaitForEndpoint(30s)) << ReadBytesOrEmpty(dir_ / "first.log");
    // A request that the first copy records in the protocol file.
    ASSERT_TRUE(testing::HttpExchange(kPort, "GET /?a=1 HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"));
    ASSERT_TRUE(WaitForText(dir_ / "request.txt", "*** ", 1, 10s));

    auto second = Start({display}, "second.log");
    const std::vector<std::string> xenv = Env({display});
    std::string window;
    testing::WaitUntil(
        [&] {
            const auto found = testing::RunCommand({"xdotool", "search", "--name", "Порт Korvalo"},
                                                   xenv, (dir_ / "xdotool.out").string(), 10s);
            if (found && !found->empty())
                window = found->substr(0, found->find('\n'));
            return !window.empty();
        },
        30s, 50ms);
    ASSERT_FALSE(window.empty()) << "no message box; second copy log:\n"
                                 << ReadBytesOrEmpty(dir_ / "second.log");
    // The box waits for the user: the second copy is still there.
    EXPECT_FALSE(second->Wait(200ms).has_value());
    const auto name = testing::RunCommand({"xdotool", "getwindowname", window}, xenv,
                                          (dir_ / "xdotool.out").string(), 10s);
    ASSERT_TRUE(name);
    EXPECT_EQ(*name, "Порт Korvalo\n");

    std::optional<int> status;
    for (int attempt = 0; attempt < 20 && !status; ++attempt) {
        testing::RunCommand({"xdotool", "windowfocus", "--sync", window}, xenv,
                            (dir_ / "xdotool.out").string(), 10s);
        testing::RunCommand({"xdotool", "key", "--window", window, "Return"}, xenv,
                            (dir_ / "xdotool.out").string(), 10s);
        testing::RunCommand({"xdotool", "key", "Return"}, xenv, (dir_ / "xdotool.out").string(),
                            10s);
        status = second->Wait(1s);
    }
    ASSERT_TRUE(status) << "the second copy did not end after the box was closed";
    EXPECT_EQ(*status, 1);
    // It recreated the protocol file, empty, before it ended.
    EXPECT_EQ(fs::file_size(dir_ / "request.txt"), 0u);

    // The first copy still serves, and appends to the fresh file.
    EXPECT_TRUE(Answers200(testing::Options(kPort)));
    ASSERT_TRUE(testing::HttpExchange(kPort, "GET /?b=2 HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"));
    EXPECT_TRUE(WaitForText(dir_ / "request.txt", "*** ", 1, 10s));

    first->Signal(SIGTERM);
    const std::optional<int> firstStatus = first->Wait(30s);
    ASSERT_TRUE(firstStatus);
    EXPECT_EQ(*firstStatus, 0);
    EXPECT_FALSE(testing::Options(kPort).has_value());
}

// Korvalo as the only client of a fresh display that resets when its last client leaves: the
// check for a display must not leave the server with no client before Qt connects, or Qt's
// connection lands in the reset and the program aborts. Every start must come up.
TEST_F(KorvaloProcessTest, StartsEveryTimeAsTheOnlyClientOfAFreshDisplay) {
    constexpr int kStarts = 50;
    int started = 0;
    for (int i = 0; i < kStarts; ++i) {
        std::unique_ptr<testing::XvfbServer> xvfb;
        try {
            xvfb =
                std::make_unique<testing::XvfbServer>(testing::XvfbServer::Mode::kLikeAStartScript);
        } catch (const std::exception& e) {
            GTEST_SKIP() << e.what();
        }
        const std::string log = "start" + std::to_string(i) + ".log";
        auto korvalo = Start({"DISPLAY=" + xvfb->Display()}, log);
        ASSERT_TRUE(WaitForEndpoint(30s)) << "start " << i + 1 << " of " << kStarts << ":\n"
                                          << ReadBytesOrEmpty(dir_ / log);
        korvalo->Signal(SIGTERM);
        const std::optional<int> status = korvalo->Wait(30s);
        ASSERT_TRUE(status) << "start " << i + 1 << " did not end";
        EXPECT_EQ(*status, 0) << ReadBytesOrEmpty(dir_ / log);
        ++started;
    }
    EXPECT_EQ(started, kStarts);
}

// No notification area: Korvalo serves, says so once, and keeps retrying the icon.
TEST_F(KorvaloProcessTest, WithoutANotificationAreaItServesAndRetriesTheIcon) {
    PutIni("[Main]\ndebug=true\n");
    auto korvalo = Start({"QT_QPA_PLATFORM=offscreen"}, "korvalo.log");
    ASSERT_TRUE(WaitForEndpoint(30s)) << ReadBytesOrEmpty(dir_ / "korvalo.log");
    EXPECT_TRUE(
        WaitForText(dir_ / "korvalo.log", "Область уведомлений недоступна - значок", 1, 10s));
    // Two ticks of the 7-second timer.
    EXPECT_TRUE(WaitForText(dir_ / "korvalo.log", "повторная попытка", 2, 40s))
        << ReadBytesOrEmpty(dir_ / "korvalo.log");
    EXPECT_TRUE(Answers200(testing::Options(kPort)));
    korvalo->Signal(SIGTERM);
    const std::optional<int> status = korvalo->Wait(30s);
    ASSERT_TRUE(status);
    EXPECT_EQ(*status, 0);
}

// No display at all, an unreadable settings file, a missing companion script: Korvalo still
// starts, serves and says in the log what it could not do.
TEST_F(KorvaloProcessTest, WithoutADisplayItServesAndLogsWhatItCouldNotDo) {
    fs::create_directory(dir_ / "broken.ini");
    PutIni("[Main]\nprovider=IOLA\n");
    auto korvalo = Start({}, "korvalo.log");
    ASSERT_TRUE(WaitForEndpoint(30s)) << ReadBytesOrEmpty(dir_ / "korvalo.log");
    EXPECT_TRUE(WaitForText(dir_ / "korvalo.log", "Нет дисплея", 1, 10s));
    EXPECT_TRUE(WaitForText(dir_ / "korvalo.log",
                            "Не удалось запустить " + (dir_ / "tinyWebServer/run.sh").string(), 1,
                            10s))
        << ReadBytesOrEmpty(dir_ / "korvalo.log");
    korvalo->Signal(SIGTERM);
    ASSERT_TRUE(korvalo->Wait(30s));

    // The same with a settings file that cannot be read.
    auto again = Start({"KORVALO_INI=" + (dir_ / "broken.ini").string()}, "again.log");
    ASSERT_TRUE(WaitForEndpoint(30s)) << ReadBytesOrEmpty(dir_ / "again.log");
    EXPECT_TRUE(WaitForText(dir_ / "again.log", "не читается", 1, 10s));
    again->Signal(SIGTERM);
    ASSERT_TRUE(again->Wait(30s));
}

// A fresh account without a certificate store: start-up names the store's folder, the message
// dialog opens with an empty list and makes the folder (private to the user), and the log says
// where certificates go. Ending Korvalo closes the dialog and answers the page.
TEST_F(KorvaloProcessTest, AFreshHomeGetsAnEmptyStoreAndIsToldWhereCertificatesGo) {
    const fs::path home = dir_ / "home";
    fs::create_directory(home);
    const fs::path folder = home / ".local/share/korvalo/certs/MY";
    fs::create_directory(dir_ / "runtime");
    fs::permissions(dir_ / "runtime", fs::perms::owner_all);
    auto korvalo = Start({"QT_QPA_PLATFORM=offscreen", "HOME=" + home.string(),
                          "XDG_RUNTIME_DIR=" + (dir_ / "runtime").string()},
                         "korvalo.log");
    ASSERT_TRUE(WaitForEndpoint(30s)) << ReadBytesOrEmpty(dir_ / "korvalo.log");
    EXPECT_TRUE(
        WaitForText(dir_ / "korvalo.log", "Хранилище сертификатов: " + folder.string(), 1, 10s))
        << ReadBytesOrEmpty(dir_ / "korvalo.log");
    EXPECT_FALSE(fs::exists(home / ".local"));

    std::optional<std::string> answer;
    std::thread page([&answer] {
        answer =
            testing::HttpExchange(kPort,
                                  "GET /?urlToAnswer=http%3A%2F%2F127.0.0.1%3A9%2Fa&urlToRedirect="
                                  "http%3A%2F%2F127.0.0.1%2Fb&crpt_message=hello HTTP/1.1\r\n"
                                  "Host: 127.0.0.1\r\n\r\n");
    });
    EXPECT_TRUE(WaitForText(dir_ / "korvalo.log",
                            "Нет действующих сертификатов. Сертификат с ключом (файл .p12, .pfx "
                            "или .pem) кладётся в папку " +
                                folder.string(),
                            1, 30s))
        << ReadBytesOrEmpty(dir_ / "korvalo.log");
    EXPECT_TRUE(fs::is_directory(folder));
    EXPECT_EQ(fs::status(folder).permissions() & fs::perms::all, fs::perms::owner_all);
    korvalo->Signal(SIGTERM);
    const std::optional<int> status = korvalo->Wait(30s);
    page.join();
    ASSERT_TRUE(status) << ReadBytesOrEmpty(dir_ / "korvalo.log");
    EXPECT_EQ(*status, 0) << ReadBytesOrEmpty(dir_ / "korvalo.log");
    // The page is answered, not left waiting.
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << *answer;
}

}  // namespace
}  // namespace korvalo
