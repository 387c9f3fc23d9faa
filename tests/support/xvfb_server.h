#pragma once
// An X server (Xvfb) for tests that need a display: started on a free display number, stopped
// when the object goes.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace korvalo::testing {

class XvfbServer {
public:
    // How the server is started. kPrivate: it picks a free display number itself and says it
    // when ready (-displayfd), and never resets. kLikeAStartScript: as a start script such as
    // run.sh starts one: the first free display number, ready once its socket exists, and
    // resetting when its last client leaves, as an X server does by default.
    enum class Mode { kPrivate, kLikeAStartScript };

    // Starts Xvfb; Display() is then ":N". Throws when Xvfb cannot be started.
    explicit XvfbServer(Mode mode = Mode::kPrivate) {
        if (mode == Mode::kPrivate)
            StartPrivate();
        else
            StartLikeAScript();
    }
    ~XvfbServer() { Stop(); }
    XvfbServer(const XvfbServer&) = delete;
    XvfbServer& operator=(const XvfbServer&) = delete;

    const std::string& Display() const { return display_; }

private:
    void StartPrivate() {
        int fds[2];
        if (::pipe(fds) != 0)
            throw std::runtime_error("pipe failed");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], 3);
        try {
            Spawn(actions, {"-displayfd", "3", "-noreset"});
        } catch (...) {
            ::close(fds[0]);
            ::close(fds[1]);
            throw;
        }
        ::close(fds[1]);
        std::string number;
        char c = 0;
        while (::read(fds[0], &c, 1) == 1 && c != '\n')
            number.push_back(c);
        ::close(fds[0]);
        if (number.empty()) {
            Stop();
            throw std::runtime_error("Xvfb gave no display number");
        }
        display_ = ":" + number;
    }

    void StartLikeAScript() {
        int number = 199;
        while (::access(SocketPath(number).c_str(), F_OK) == 0 ||
               ::access(("/tmp/.X" + std::to_string(number) + "-lock").c_str(), F_OK) == 0)
            ++number;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        Spawn(actions, {":" + std::to_string(number)});
        for (int i = 0; i < 100 && ::access(SocketPath(number).c_str(), F_OK) != 0; ++i) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                throw std::runtime_error("Xvfb ended at start");
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        if (::access(SocketPath(number).c_str(), F_OK) != 0) {
            Stop();
            throw std::runtime_error("Xvfb opened no socket");
        }
        display_ = ":" + std::to_string(number);
    }

    static std::string SocketPath(int number) {
        return "/tmp/.X11-unix/X" + std::to_string(number);
    }

    // Starts Xvfb with the common arguments plus extra; consumes actions.
    void Spawn(posix_spawn_file_actions_t& actions, const std::vector<std::string>& extra) {
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        std::vector<std::string> args = {"Xvfb",    "-nolisten", "tcp",
                                         "-screen", "0",         "1280x1024x24"};
        args.insert(args.end(), extra.begin(), extra.end());
        std::vector<char*> argv;
        for (std::string& arg : args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        const int rc = ::posix_spawnp(&pid_, "Xvfb", &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (rc != 0) {
            pid_ = -1;
            throw std::runtime_error("Xvfb cannot be started");
        }
    }

    void Stop() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            int status = 0;
            ::waitpid(pid_, &status, 0);
            pid_ = -1;
        }
    }
    pid_t pid_ = -1;
    std::string display_;
};

}  // namespace korvalo::testing
