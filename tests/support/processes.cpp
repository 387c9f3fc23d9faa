#include "support/processes.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <system_error>

extern char** environ;

namespace korvalo::testing {

namespace {

// The exit status of pid once it has ended; -1 when it was killed or cannot be waited for.
int WaitExit(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::vector<char*> ArgumentPointers(const std::vector<std::string>& argv) {
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    return args;
}

}  // namespace

CommandResult RunCommand(const std::vector<std::string>& argv) {
    CommandResult result;
    int fds[2];
    if (argv.empty() || ::pipe2(fds, O_CLOEXEC) != 0)
        return result;
    const UniqueFd readEnd(fds[0]);
    UniqueFd writeEnd(fds[1]);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, writeEnd.get(), 1);
    posix_spawn_file_actions_adddup2(&actions, writeEnd.get(), 2);
    std::vector<char*> args = ArgumentPointers(argv);
    pid_t pid = 0;
    const int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    writeEnd.reset();  // our copy closed: the read ends with the program
    if (rc != 0) {
        result.output = "cannot start " + argv[0];
        return result;
    }
    std::array<char, 4096> buf;
    ssize_t n;
    while ((n = ::read(readEnd.get(), buf.data(), buf.size())) > 0 || (n < 0 && errno == EINTR)) {
        if (n > 0)
            result.output.append(buf.data(), static_cast<std::size_t>(n));
    }
    result.exitCode = WaitExit(pid);
    return result;
}

ServiceProcess::ServiceProcess(const std::vector<std::string>& argv,
                               const std::string& announcement) {
    const std::string name = std::filesystem::path(argv.at(0)).filename().string();
    std::vector<char*> args = ArgumentPointers(argv);
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        throw std::system_error(errno, std::generic_category(), "pipe2");
    UniqueFd readEnd(fds[0]);
    UniqueFd writeEnd(fds[1]);
    const pid_t parent = ::getpid();
    pid_ = ::fork();
    if (pid_ < 0)
        throw std::system_error(errno, std::generic_category(), "fork");
    if (pid_ == 0) {
        // The program ends with the test process, even when a test crashes.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent)
            ::_exit(127);
        ::dup2(writeEnd.get(), STDOUT_FILENO);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    writeEnd.reset();
    output_ = std::move(readEnd);

    std::string line;
    while (line.find('\n') == std::string::npos) {
        pollfd p{output_.get(), POLLIN, 0};
        const int ready = ::poll(&p, 1, 30000);
        if (ready < 0 && errno == EINTR)
            continue;
        char chunk[256];
        const ssize_t n = ready > 0 ? ::read(output_.get(), chunk, sizeof chunk) : 0;
        if (n <= 0) {
            Stop();
            std::string arguments;
            for (std::size_t i = 1; i < argv.size(); ++i)
                arguments += (i > 1 ? " " : "") + argv[i];
            throw std::runtime_error(name + " did not start listening (arguments: " + arguments +
                                     ")");
        }
        line.append(chunk, static_cast<std::size_t>(n));
    }
    if (line.rfind(announcement, 0) != 0) {
        Stop();
        throw std::runtime_error("unexpected announcement of " + name + ": " + line);
    }
    port_ = static_cast<unsigned short>(std::stoi(line.substr(announcement.size())));
}

ServiceProcess::~ServiceProcess() {
    Stop();
}

bool ServiceProcess::Running() {
    if (pid_ <= 0)
        return false;
    int status = 0;
    return ::waitpid(pid_, &status, WNOHANG) == 0;
}

void ServiceProcess::Stop() {
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        WaitExit(pid_);
        pid_ = -1;
    }
    output_.reset();
}

namespace {

std::vector<std::string> StandInArguments(const std::string& program,
                                          const std::vector<std::string>& args) {
    std::vector<std::string> argv{program, "--port", "0"};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

}  // namespace

StandInServer::StandInServer(const std::string& program, const std::vector<std::string>& args)
    : ServiceProcess(StandInArguments(program, args), "listening on 127.0.0.1:") {}

std::string ProgramFor(const char* variable, const std::string& built) {
    if (const char* path = std::getenv(variable); path != nullptr && *path != '\0')
        return path;
    return built;
}

unsigned short FreeLoopbackPort() {
    const UniqueFd s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!s.ok())
        throw std::system_error(errno, std::generic_category(), "socket");
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    if (::bind(s.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
        throw std::system_error(errno, std::generic_category(), "bind");
    socklen_t len = sizeof addr;
    if (::getsockname(s.get(), reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        throw std::system_error(errno, std::generic_category(), "getsockname");
    return ntohs(addr.sin_port);  // the socket closes here without ever listening
}

}  // namespace korvalo::testing
