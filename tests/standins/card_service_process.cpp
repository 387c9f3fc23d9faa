#include "standins/card_service_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <system_error>
#include <utility>

extern char** environ;

namespace korvalo::cardtest {

namespace {

[[noreturn]] void ThrowErrno(const std::string& what) {
    throw std::system_error(errno, std::generic_category(), what);
}

// A file descriptor closed on destruction.
class Fd {
public:
    explicit Fd(int fd = -1) : FFd(fd) {}
    ~Fd() {
        if (FFd >= 0)
            ::close(FFd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return FFd; }
    int release() { return std::exchange(FFd, -1); }

private:
    int FFd;
};

struct Pipe {
    Fd read, write;
};

Pipe MakePipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        ThrowErrno("pipe2");
    return Pipe{Fd(fds[0]), Fd(fds[1])};
}

class SpawnActions {
public:
    SpawnActions() { posix_spawn_file_actions_init(&FActions); }
    ~SpawnActions() { posix_spawn_file_actions_destroy(&FActions); }
    posix_spawn_file_actions_t* get() { return &FActions; }

private:
    posix_spawn_file_actions_t FActions;
};

pid_t Spawn(const std::vector<std::string>& argv, int outFd, bool alsoStderr, bool searchPath) {
    SpawnActions actions;
    posix_spawn_file_actions_adddup2(actions.get(), outFd, STDOUT_FILENO);
    if (alsoStderr)
        posix_spawn_file_actions_adddup2(actions.get(), outFd, STDERR_FILENO);
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    const int rc = searchPath
                       ? posix_spawnp(&pid, args[0], actions.get(), nullptr, args.data(), environ)
                       : posix_spawn(&pid, args[0], actions.get(), nullptr, args.data(), environ);
    if (rc != 0)
        throw std::system_error(rc, std::generic_category(), "cannot start " + argv[0]);
    return pid;
}

int WaitExit(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            ThrowErrno("waitpid");
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "korvalo-card-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr)
        ThrowErrno("mkdtemp");
    FPath = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(FPath, ignored);
}

int RunProgram(const std::vector<std::string>& argv, std::string* output) {
    Pipe pipe = MakePipe();
    const pid_t pid = Spawn(argv, pipe.write.get(), true, true);
    ::close(pipe.write.release());  // our copy closed: the read ends with the program
    std::string text;
    char chunk[4096];
    for (;;) {
        const ssize_t n = ::read(pipe.read.get(), chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        text.append(chunk, static_cast<std::size_t>(n));
    }
    const int status = WaitExit(pid);
    if (output != nullptr)
        *output = std::move(text);
    return status;
}

CardCredentials::CardCredentials() {
    std::string output;
    const int status =
        RunProgram({"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                    "ec_paramgen_curve:prime256v1", "-nodes", "-keyout", key().string(), "-out",
                    cert().string(), "-subj", "/CN=Korvalo Test Card", "-days", "2"},
                   &output);
    if (status != 0)
        throw std::runtime_error("openssl req failed: " + output);
}

std::string CardServiceExecutable() {
    if (const char* path = std::getenv("KORVALO_CARD_SERVICE"); path != nullptr && *path != '\0')
        return path;
    return KORVALO_CARD_SERVICE_EXE;
}

CardServiceProcess::CardServiceProcess(const std::vector<std::string>& args) {
    std::vector<std::string> argv{CardServiceExecutable(), "--port", "0"};
    argv.insert(argv.end(), args.begin(), args.end());
    Pipe pipe = MakePipe();
    FPid = Spawn(argv, pipe.write.get(), false, false);
    ::close(pipe.write.release());
    FOutput = pipe.read.release();

    // The service announces "listening on 127.0.0.1:N" once its port is open.
    std::string line;
    while (line.find('\n') == std::string::npos) {
        pollfd p{FOutput, POLLIN, 0};
        const int ready = ::poll(&p, 1, 30000);
        if (ready < 0 && errno == EINTR)
            continue;
        char chunk[256];
        const ssize_t n = ready > 0 ? ::read(FOutput, chunk, sizeof chunk) : 0;
        if (n <= 0) {
            Stop();
            throw std::runtime_error("korvalo-card-service did not start listening (options: " +
                                     nlohmann::json(args).dump() + ")");
        }
        line.append(chunk, static_cast<std::size_t>(n));
    }
    const std::string prefix = "listening on 127.0.0.1:";
    if (line.rfind(prefix, 0) != 0) {
        Stop();
        throw std::runtime_error("unexpected announcement of korvalo-card-service: " + line);
    }
    FPort = static_cast<unsigned short>(std::stoi(line.substr(prefix.size())));
}

CardServiceProcess::~CardServiceProcess() {
    Stop();
}

void CardServiceProcess::Stop() {
    if (FPid > 0) {
        ::kill(FPid, SIGTERM);
        WaitExit(FPid);
        FPid = -1;
    }
    if (FOutput >= 0) {
        ::close(FOutput);
        FOutput = -1;
    }
}

std::vector<nlohmann::json> ReadServiceLog(const std::filesystem::path& file) {
    std::vector<nlohmann::json> lines;
    std::ifstream in(file, std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty())
            lines.push_back(nlohmann::json::parse(line));
    }
    return lines;
}

bool VerifyDetachedCms(const std::string& der, const std::filesystem::path& content,
                       std::string* output) {
    TempDir dir;
    const auto sigFile = dir.path() / "signature.der";
    std::ofstream(sigFile, std::ios::binary) << der;
    return RunProgram({"openssl", "cms", "-verify", "-binary", "-inform", "DER", "-in",
                       sigFile.string(), "-noverify", "-content", content.string(), "-out",
                       (dir.path() / "content.out").string()},
                      output) == 0;
}

unsigned short UnusedPort() {
    Fd sock(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (sock.get() < 0)
        ThrowErrno("socket");
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    if (::bind(sock.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
        ThrowErrno("bind");
    socklen_t len = sizeof addr;
    if (::getsockname(sock.get(), reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        ThrowErrno("getsockname");
    return ntohs(addr.sin_port);  // the socket closes here without ever listening
}

}  // namespace korvalo::cardtest
