// Starting the companion server and finding windows by title on a real X server.
#include <fcntl.h>
#include <gtest/gtest.h>
// Xlib after gtest: its macros (None, Bool...) would break gtest's headers.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <thread>

#include "platform/desktop/companion.h"
#include "platform/desktop/window_list.h"
#include "support/files.h"
#include "support/wait.h"
#include "support/xvfb_server.h"

namespace korvalo {
namespace {

namespace fs = std::filesystem;
using testing::ReadBytesOrEmpty;

bool WaitForFile(const fs::path& path) {
    return testing::WaitUntil([&] { return fs::exists(path); }, std::chrono::seconds(10),
                              std::chrono::milliseconds(5));
}

class CompanionTest : public ::testing::Test {
protected:
    void SetUp() override { fs::create_directories(serverDir_); }
    void PutScript(const std::string& body, bool executable = true) const {
        const fs::path script = serverDir_ / "run.sh";
        std::ofstream(script) << "#!/bin/sh\n" << body;
        fs::permissions(script, executable ? fs::perms::owner_all
                                           : fs::perms::owner_read | fs::perms::owner_write);
    }
    testing::TempDir temp_;
    const fs::path exeDir_ = temp_.path();
    const fs::path serverDir_ = exeDir_ / "tinyWebServer";
};

TEST(CompanionTitle, FirstFifteenCharactersWithoutRegardToCase) {
    EXPECT_TRUE(IsCompanionWindowTitle("Tiny Web Server"));
    EXPECT_TRUE(IsCompanionWindowTitle("tiny web server - port 8080"));
    EXPECT_TRUE(IsCompanionWindowTitle("TINY WEB SERVERx"));
    EXPECT_FALSE(IsCompanionWindowTitle("Tiny Web Serve"));
    EXPECT_FALSE(IsCompanionWindowTitle(" Tiny Web Server"));
    EXPECT_FALSE(IsCompanionWindowTitle(""));
}

// The script runs in its own folder, detached, with nothing inherited but the environment.
TEST_F(CompanionTest, RunsTheScriptInItsFolderDetached) {
    // A descriptor Korvalo holds (like the endpoint's socket) must not reach the companion.
    const int held = ::open("/dev/null", O_RDONLY);  // not close-on-exec
    ASSERT_GE(held, 3);
    PutScript(
        "pwd > out.txt\nls /proc/$$/fd > fds.txt\nps -o sid= -p $$ > sid.txt\n"
        "[ -t 0 ] && echo tty > tty.txt\necho \"$KORVALO_COMPANION_MARK\" > env.txt\n");
    ::setenv("KORVALO_COMPANION_MARK", "inherited", 1);
    const CompanionOutcome outcome = CompanionStarter(exeDir_.string()).Start();
    const StartedProcess& started = outcome.process;
    ::close(held);
    EXPECT_FALSE(outcome.alreadyRunning);
    EXPECT_EQ(outcome.program, (serverDir_ / "run.sh").string());
    EXPECT_EQ(started.exitCode, 0);
    ASSERT_TRUE(started.created);
    EXPECT_TRUE(started.ended);
    EXPECT_EQ(ReadBytesOrEmpty(serverDir_ / "out.txt"), fs::canonical(serverDir_).string() + "\n");
    std::istringstream fds(ReadBytesOrEmpty(serverDir_ / "fds.txt"));
    for (std::string fd; fds >> fd;)
        EXPECT_NE(fd, std::to_string(held)) << "descriptor inherited";
    EXPECT_EQ(std::stoi(ReadBytesOrEmpty(serverDir_ / "sid.txt")), started.pid);  // own session
    EXPECT_FALSE(fs::exists(serverDir_ / "tty.txt"));
    EXPECT_EQ(ReadBytesOrEmpty(serverDir_ / "env.txt"), "inherited\n");
}

TEST_F(CompanionTest, AScriptWithoutExecutePermissionRunsThroughTheShell) {
    PutScript("echo ran > out.txt\nexit 3\n", false);
    const StartedProcess started = CompanionStarter(exeDir_.string() + "/").Start().process;
    EXPECT_TRUE(started.created);
    EXPECT_EQ(started.exitCode, 3);
    EXPECT_EQ(ReadBytesOrEmpty(serverDir_ / "out.txt"), "ran\n");
}

TEST_F(CompanionTest, MissingScriptStartsNothing) {
    const auto before = std::chrono::steady_clock::now();
    const CompanionOutcome outcome = CompanionStarter(exeDir_.string()).Start();
    EXPECT_FALSE(outcome.alreadyRunning);
    EXPECT_FALSE(outcome.process.created);
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(4));
}

// A companion that keeps running is left running after the wait and reaped when it ends.
TEST_F(CompanionTest, ALongRunningCompanionIsLeftRunning) {
    PutScript("touch started\nexec sleep 30\n");
    const StartedProcess started = CompanionStarter(exeDir_.string()).Start().process;
    ASSERT_TRUE(started.created);
    EXPECT_FALSE(started.ended);
    EXPECT_TRUE(fs::exists(serverDir_ / "started"));
    EXPECT_EQ(::kill(started.pid, 0), 0);
    ::kill(started.pid, SIGTERM);
    // Reaped: no zombie left.
    EXPECT_TRUE(testing::WaitUntil([&] { return ::kill(started.pid, 0) != 0; },
                                   std::chrono::seconds(5), std::chrono::milliseconds(5)));
}

TEST_F(CompanionTest, WithoutADisplayNoWindowIsFound) {
    const char* old = std::getenv("DISPLAY");
    const std::string saved = old ? old : "";
    ::unsetenv("DISPLAY");
    EXPECT_EQ(FindDesktopWindow([](const std::string&) { return true; }), 0u);
    HideDesktopWindow(12345);  // no effect, no crash
    if (old)
        ::setenv("DISPLAY", saved.c_str(), 1);
}

// ---- on a real X server ----

struct DisplayCloser {
    void operator()(Display* d) const { XCloseDisplay(d); }
};

class CompanionOnDisplayTest : public CompanionTest {
protected:
    static void SetUpTestSuite() {
        try {
            xvfb_ = std::make_unique<testing::XvfbServer>();
        } catch (const std::exception&) {
            xvfb_.reset();
        }
    }
    static void TearDownTestSuite() { xvfb_.reset(); }
    void SetUp() override {
        if (!xvfb_)
            GTEST_SKIP() << "Xvfb not available";
        CompanionTest::SetUp();
        ::setenv("DISPLAY", xvfb_->Display().c_str(), 1);
        display_.reset(XOpenDisplay(nullptr));
        ASSERT_TRUE(display_);
    }
    void TearDown() override {
        display_.reset();
        CompanionTest::TearDown();
    }
    // A mapped top-level window with the title (UTF-8 in _NET_WM_NAME, Latin-1 in WM_NAME).
    Window MakeWindow(const std::string& title, bool netWmName) {
        Display* d = display_.get();
        Window w = XCreateSimpleWindow(d, DefaultRootWindow(d), 0, 0, 100, 100, 0, 0, 0);
        if (netWmName)
            XChangeProperty(d, w, XInternAtom(d, "_NET_WM_NAME", False),
                            XInternAtom(d, "UTF8_STRING", False), 8, PropModeReplace,
                            reinterpret_cast<const unsigned char*>(title.data()),
                            static_cast<int>(title.size()));
        else
            XStoreName(d, w, title.c_str());
        XMapWindow(d, w);
        XSync(d, False);
        return w;
    }
    bool Mapped(Window w) {
        XWindowAttributes attributes{};
        XSync(display_.get(), False);
        return XGetWindowAttributes(display_.get(), w, &attributes) != 0 &&
               attributes.map_state != IsUnmapped;
    }
    static std::unique_ptr<testing::XvfbServer> xvfb_;
    std::unique_ptr<Display, DisplayCloser> display_;
};
std::unique_ptr<testing::XvfbServer> CompanionOnDisplayTest::xvfb_;

TEST_F(CompanionOnDisplayTest, FindsWindowsByTitle) {
    MakeWindow("Другое окно", true);
    const Window latin = MakeWindow("Tiny web server (latin-1 name)", false);
    EXPECT_EQ(FindDesktopWindow(&IsCompanionWindowTitle), latin);
    const Window utf8 = MakeWindow("Окно «Сервер»", true);
    EXPECT_EQ(FindDesktopWindow([](const std::string& t) { return t == "Окно «Сервер»"; }), utf8);
    EXPECT_EQ(FindDesktopWindow([](const std::string& t) { return t == "absent"; }), 0u);
}

// A running companion (any letter case) means nothing is started and nothing is hidden.
TEST_F(CompanionOnDisplayTest, ARunningCompanionIsNotStartedAgain) {
    PutScript("touch started\n");
    const Window w = MakeWindow("tiny web server 2.0", true);
    CompanionStarter starter(exeDir_.string());
    const CompanionOutcome outcome = starter.Start();
    EXPECT_TRUE(outcome.alreadyRunning);
    EXPECT_FALSE(outcome.process.created);
    EXPECT_FALSE(fs::exists(serverDir_ / "started"));
    EXPECT_EQ(starter.CompanionWindow(), w);
    EXPECT_TRUE(Mapped(w));  // found at once: left as it is
}

// The script brings up the companion's window while the start waits; it is hidden afterwards.
TEST_F(CompanionOnDisplayTest, TheStartedCompanionsWindowIsHidden) {
    PutScript("touch started\nwhile [ ! -e window-made ]; do sleep 0.01; done\n");
    CompanionStarter starter(exeDir_.string());
    auto start = std::async(std::launch::async, [&] { return starter.Start(); });
    ASSERT_TRUE(WaitForFile(serverDir_ / "started"));
    const Window w = MakeWindow("Tiny Web Server", true);
    std::ofstream(serverDir_ / "window-made") << "";
    const StartedProcess started = start.get().process;
    EXPECT_TRUE(started.created);
    EXPECT_TRUE(started.ended);
    EXPECT_EQ(starter.CompanionWindow(), w);
    EXPECT_FALSE(Mapped(w));
}

TEST_F(CompanionOnDisplayTest, SkipTaskbarIsAddedToTheWindowState) {
    Display* d = display_.get();
    const Window w = XCreateSimpleWindow(d, DefaultRootWindow(d), 0, 0, 10, 10, 0, 0, 0);
    const Atom state = XInternAtom(d, "_NET_WM_STATE", False);
    const Atom above = XInternAtom(d, "_NET_WM_STATE_ABOVE", False);
    XChangeProperty(d, w, state, XA_ATOM, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(&above), 1);
    XSync(d, False);
    MarkSkipTaskbar(w);
    MarkSkipTaskbar(w);  // no duplicates
    Atom type = None;
    int format = 0;
    unsigned long count = 0;
    unsigned long after = 0;
    unsigned char* raw = nullptr;
    ASSERT_EQ(XGetWindowProperty(d, w, state, 0, 64, False, XA_ATOM, &type, &format, &count, &after,
                                 &raw),
              Success);
    std::vector<Atom> atoms(reinterpret_cast<Atom*>(raw), reinterpret_cast<Atom*>(raw) + count);
    XFree(raw);
    const std::vector<Atom> expected = {above, XInternAtom(d, "_NET_WM_STATE_SKIP_TASKBAR", False),
                                        XInternAtom(d, "_NET_WM_STATE_SKIP_PAGER", False)};
    EXPECT_EQ(atoms, expected);
}

}  // namespace
}  // namespace korvalo
