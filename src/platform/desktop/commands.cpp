#include "platform/desktop/commands.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <thread>

#include "core/unique_fd.h"
#include "platform/desktop/spawn_setup.h"

extern char** environ;

namespace korvalo {

namespace {

using Clock = std::chrono::steady_clock;

// A started child process in a process group of its own. Unless it was reaped, the whole
// group is killed and the child reaped when this goes out of scope.
class ChildProcess {
public:
    explicit ChildProcess(pid_t pid) : pid_(pid) {}
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess() {
        if (pid_ > 0) {
            ::kill(-pid_, SIGKILL);
            int status = 0;
            while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
            }
        }
    }
    // Waits for the child until deadline; its exit status, or nothing when it did not end.
    [[nodiscard]] std::optional<int> WaitUntil(Clock::time_point deadline) {
        while (true) {
            int status = 0;
            const pid_t r = ::waitpid(pid_, &status, WNOHANG);
            if (r == pid_) {
                pid_ = -1;
                return status;
            }
            if (r < 0 && errno != EINTR) {
                pid_ = -1;
                return std::nullopt;
            }
            if (Clock::now() >= deadline)
                return std::nullopt;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }

private:
    pid_t pid_;
};

std::vector<char*> ArgvOf(std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    return argv;
}

}  // namespace

std::optional<std::string> FindExecutable(const std::string& name, const std::string& pathVar) {
    if (name.empty())
        return std::nullopt;
    if (name.find('/') != std::string::npos)
        return ::access(name.c_str(), X_OK) == 0 ? std::optional<std::string>(name) : std::nullopt;
    std::size_t start = 0;
    while (start <= pathVar.size()) {
        std::size_t end = pathVar.find(':', start);
        if (end == std::string::npos)
            end = pathVar.size();
        // An empty entry stands for the current folder.
        const std::string candidate =
            (end > start ? pathVar.substr(start, end - start) : std::string(".")) + "/" + name;
        if (::access(candidate.c_str(), X_OK) == 0)
            return candidate;
        start = end + 1;
    }
    return std::nullopt;
}

std::optional<std::string> RunCapture(const std::string& program,
                                      const std::vector<std::string>& args,
                                      std::chrono::milliseconds timeout, std::size_t maxOutput) {
    const Clock::time_point deadline = Clock::now() + timeout;

    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return std::nullopt;
    const UniqueFd readEnd(fds[0]);
    UniqueFd writeEnd(fds[1]);

    SpawnSetup setup;
    ::posix_spawn_file_actions_addopen(setup.actions(), 0, "/dev/null", O_RDONLY, 0);
    ::posix_spawn_file_actions_adddup2(setup.actions(), writeEnd.get(), 1);
    ::posix_spawn_file_actions_addopen(setup.actions(), 2, "/dev/null", O_WRONLY, 0);
    ::posix_spawnattr_setpgroup(setup.attr(), 0);
    ::posix_spawnattr_setflags(setup.attr(), POSIX_SPAWN_SETPGROUP);

    std::vector<std::string> argvText;
    argvText.push_back(program);
    argvText.insert(argvText.end(), args.begin(), args.end());
    std::vector<char*> argv = ArgvOf(argvText);

    pid_t pid = 0;
    if (::posix_spawn(&pid, program.c_str(), setup.actions(), setup.attr(), argv.data(), environ) !=
        0) {
        return std::nullopt;
    }
    ChildProcess child(pid);
    writeEnd.reset();

    std::string output;
    char buf[4096];
    while (true) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            return std::nullopt;
        pollfd p{readEnd.get(), POLLIN, 0};
        const int r = ::poll(&p, 1, static_cast<int>(left.count()));
        if (r < 0) {
            if (errno == EINTR)
                continue;
            return std::nullopt;
        }
        if (r == 0)
            continue;  // the deadline check above ends the loop
        const ssize_t n = ::read(readEnd.get(), buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN)
                continue;
            return std::nullopt;
        }
        if (n == 0)
            break;
        output.append(buf, static_cast<std::size_t>(n));
        if (output.size() > maxOutput)
            return std::nullopt;
    }
    const std::optional<int> status = child.WaitUntil(deadline);
    if (!status || !WIFEXITED(*status) || WEXITSTATUS(*status) != 0)
        return std::nullopt;
    return output;
}

std::vector<std::string> SplitCommandLine(std::string_view text) {
    std::vector<std::string> args;
    std::string current;
    bool inArgument = false;
    bool quoted = false;
    for (const char c : text) {
        if (c == '"') {
            quoted = !quoted;
            inArgument = true;
        } else if ((c == ' ' || c == '\t') && !quoted) {
            if (inArgument)
                args.push_back(std::move(current));
            current.clear();
            inArgument = false;
        } else {
            current.push_back(c);
            inArgument = true;
        }
    }
    if (inArgument)
        args.push_back(std::move(current));
    return args;
}

std::error_code StartDetached(const std::string& program, const std::vector<std::string>& args) {
    std::vector<std::string> argvText;
    argvText.push_back(program);
    argvText.insert(argvText.end(), args.begin(), args.end());
    std::vector<char*> argv = ArgvOf(argvText);

    SpawnSetup setup;
    setup.DetachIntoOwnSession();

    pid_t pid = -1;
    if (const int rc = ::posix_spawn(&pid, program.c_str(), setup.actions(), setup.attr(),
                                     argv.data(), environ);
        rc != 0)
        return std::error_code(rc, std::generic_category());
    // Reaped when it ends, so that it leaves no zombie.
    std::thread([pid] {
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }).detach();
    return {};
}

bool OpenWithDesktop(const std::string& target) {
    const char* path = std::getenv("PATH");
    const std::optional<std::string> opener =
        FindExecutable("xdg-open", path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin");
    if (!opener)
        return false;
    // The opener hands the target on and ends.
    return !StartDetached(*opener, {target});
}

}  // namespace korvalo
