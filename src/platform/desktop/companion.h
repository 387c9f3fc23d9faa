#pragma once
// The companion server of the "IOLA" mode: started from tinyWebServer/run.sh beside the
// executable unless its window is already on the desktop.

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>

#include "platform/desktop/window_list.h"

namespace korvalo {

// What starting a program gave.
struct StartedProcess {
    bool created = false;  // the program was started
    pid_t pid = -1;
    bool ended = false;  // it ended within the wait
    int exitCode = -1;   // when it ended: its exit status, or 128 + the signal that ended it
};

// What a companion start did.
struct CompanionOutcome {
    bool alreadyRunning = false;  // its window was there: nothing was started
    std::string program;          // the script that was (or was to be) started
    StartedProcess process;
};

// Starts program detached from Korvalo: in a session of its own without a terminal, its
// standard streams on /dev/null, no inherited descriptors, the inherited environment and
// folder as its current folder. A program without execute permission is run by /bin/sh.
// Waits at most wait for it to end. A program still running afterwards is reaped when it
// ends, so that it leaves no zombie behind.
[[nodiscard]] StartedProcess StartDetachedProgram(const std::string& program,
                                                  const std::string& folder,
                                                  std::chrono::milliseconds wait);

// The title check of the companion's window: the first 15 characters are "Tiny Web Server"
// without regard to letter case.
bool IsCompanionWindowTitle(const std::string& title);

// Starts the companion server unless its window exists, and hides its window.
class CompanionStarter {
public:
    // The desktop and process operations; the defaults are this machine's.
    struct Platform {
        std::function<DesktopWindow(const std::function<bool(const std::string&)>&)> findWindow;
        std::function<void(DesktopWindow)> hideWindow;
        std::function<StartedProcess(const std::string&, const std::string&,
                                     std::chrono::milliseconds)>
            start;
    };

    // executableFolder: the folder of the executable, with or without a trailing "/".
    explicit CompanionStarter(std::string executableFolder);
    CompanionStarter(std::string executableFolder, Platform platform);

    // Clears the companion window and looks for it; when it is not there, starts
    // "tinyWebServer/run.sh" with "tinyWebServer/" as its folder and waits up to 5000 ms for
    // it to end; then looks again and hides the window found.
    [[nodiscard]] CompanionOutcome Start();

    // The companion's window found by the last look (0 when none).
    DesktopWindow CompanionWindow() const { return companionWindow_; }

    static constexpr std::chrono::milliseconds kWait{5000};

private:
    void FindCompanionWindow();

    std::string folder_;
    Platform platform_;
    DesktopWindow companionWindow_ = 0;
};

}  // namespace korvalo
