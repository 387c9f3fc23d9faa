#include "platform/desktop/companion.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <thread>
#include <vector>

#include "core/text.h"
#include "core/unique_fd.h"
#include "platform/desktop/spawn_setup.h"

extern char** environ;

namespace korvalo {

namespace {

// Waits for pid to end, at most wait; true when it ended (and was reaped, its status in
// exitCode).
[[nodiscard]] bool WaitFor(pid_t pid, std::chrono::milliseconds wait, int& exitCode) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + wait;
    const UniqueFd pidfd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
    for (;;) {
        int status = 0;
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return true;
        }
        if (done < 0 && errno != EINTR)
            return true;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            return false;
        if (pidfd.get() >= 0) {
            pollfd p{pidfd.get(), POLLIN, 0};
            ::poll(&p, 1, static_cast<int>(left.count()));
        } else {
            std::this_thread::sleep_for(std::min(left, std::chrono::milliseconds(10)));
        }
    }
}

}  // namespace

StartedProcess StartDetachedProgram(const std::string& program, const std::string& folder,
                                    std::chrono::milliseconds wait) {
    StartedProcess result;
    if (::access(program.c_str(), R_OK) != 0)
        return result;
    std::vector<std::string> args;
    if (::access(program.c_str(), X_OK) == 0)
        args = {program};
    else
        args = {"/bin/sh", program};
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);

    SpawnSetup setup;
    setup.DetachIntoOwnSession();
    if (!folder.empty())
        posix_spawn_file_actions_addchdir_np(setup.actions(), folder.c_str());

    pid_t pid = -1;
    if (::posix_spawn(&pid, argv[0], setup.actions(), setup.attr(), argv.data(), environ) != 0)
        return result;
    result.created = true;
    result.pid = pid;
    result.ended = WaitFor(pid, wait, result.exitCode);
    if (!result.ended) {
        // It goes on running on its own; reap it when it ends.
        std::thread([pid] {
            int status = 0;
            while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
        }).detach();
    }
    return result;
}

bool IsCompanionWindowTitle(const std::string& title) {
    return StartsWithNoCase(title, "Tiny Web Server");
}

CompanionStarter::CompanionStarter(std::string executableFolder)
    : CompanionStarter(std::move(executableFolder),
                       Platform{&FindDesktopWindow, &HideDesktopWindow, &StartDetachedProgram}) {}

CompanionStarter::CompanionStarter(std::string executableFolder, Platform platform)
    : folder_(std::move(executableFolder)), platform_(std::move(platform)) {
    if (folder_.empty() || folder_.back() != '/')
        folder_.push_back('/');
}

void CompanionStarter::FindCompanionWindow() {
    companionWindow_ = platform_.findWindow(&IsCompanionWindowTitle);
}

CompanionOutcome CompanionStarter::Start() {
    CompanionOutcome outcome;
    const std::string dir = folder_ + "tinyWebServer/";
    outcome.program = dir + "run.sh";
    companionWindow_ = 0;
    FindCompanionWindow();
    if (companionWindow_ != 0) {
        outcome.alreadyRunning = true;
        return outcome;
    }
    outcome.process = platform_.start(outcome.program, dir, kWait);
    FindCompanionWindow();
    platform_.hideWindow(companionWindow_);
    return outcome;
}

}  // namespace korvalo
