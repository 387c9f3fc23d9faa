#pragma once
// A child process for tests of the whole program: started with its own environment and folder,
// its standard error in a file, waited for with a time limit, ended when the object goes.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace korvalo::testing {

class Process {
public:
    // Starts argv[0] (searched in PATH when it has no "/") in folder with exactly env; its
    // standard output and error go to errFile ("/dev/null" when empty).
    Process(std::vector<std::string> argv, const std::vector<std::string>& env,
            const std::string& folder = "", const std::string& errFile = "") {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        const std::string out = errFile.empty() ? "/dev/null" : errFile;
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                         0644);
        posix_spawn_file_actions_addopen(&actions, 2, out.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                         0644);
        if (!folder.empty())
            posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
        std::vector<char*> args;
        for (std::string& arg : argv)
            args.push_back(arg.data());
        args.push_back(nullptr);
        std::vector<std::string> envCopy = env;
        std::vector<char*> envp;
        for (std::string& entry : envCopy)
            envp.push_back(entry.data());
        envp.push_back(nullptr);
        const int rc = ::posix_spawnp(&pid_, args[0], &actions, nullptr, args.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        if (rc != 0)
            throw std::runtime_error("cannot start " + argv[0]);
    }
    ~Process() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            int status = 0;
            ::waitpid(pid_, &status, 0);
        }
    }
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    pid_t Pid() const { return pid_; }

    // The exit status (128 + signal when a signal ended it), or nothing when the process is
    // still running after limit.
    std::optional<int> Wait(std::chrono::milliseconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        for (;;) {
            if (pid_ <= 0)
                return status_;
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                return status_;
            }
            if (std::chrono::steady_clock::now() >= deadline)
                return std::nullopt;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }

    void Signal(int signal) {
        if (pid_ > 0)
            ::kill(pid_, signal);
    }

private:
    pid_t pid_ = -1;
    std::optional<int> status_;
};

// Runs a command to its end (at most limit) and returns what it printed, or nothing when it
// failed or did not end in time.
inline std::optional<std::string> RunCommand(std::vector<std::string> argv,
                                             const std::vector<std::string>& env,
                                             const std::string& outFile,
                                             std::chrono::milliseconds limit) {
    ::unlink(outFile.c_str());
    Process process(std::move(argv), env, "", outFile);
    const std::optional<int> status = process.Wait(limit);
    if (!status || *status != 0)
        return std::nullopt;
    std::string text;
    if (FILE* f = std::fopen(outFile.c_str(), "rb")) {
        char buffer[4096];
        std::size_t n = 0;
        while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0)
            text.append(buffer, n);
        std::fclose(f);
    }
    return text;
}

}  // namespace korvalo::testing
