#include "platform/net/system_proxy.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <thread>
#include <vector>

#include "core/text.h"
#include "core/unique_fd.h"
#include "platform/desktop/spawn_setup.h"

extern char** environ;

namespace korvalo {

namespace {

using Clock = std::chrono::steady_clock;

bool AllDigits(std::string_view text) {
    if (text.empty())
        return false;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
    }
    return true;
}

int ParsePort(std::string_view text) {
    if (!AllDigits(text) || text.size() > 5)
        return 0;
    const int port = std::stoi(std::string(text));
    return port <= 65535 ? port : 0;
}

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
    std::optional<int> WaitUntil(Clock::time_point deadline) {
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

// Runs program with args, stdin and stderr on /dev/null, and returns what it wrote to
// stdout when it exits with status 0 before the time limit; nothing otherwise.
std::optional<std::string> RunCapture(const std::string& program,
                                      const std::vector<std::string>& args,
                                      std::chrono::milliseconds timeout) {
    constexpr std::size_t kMaxOutput = 1 << 20;
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
    std::vector<char*> argv;
    for (std::string& a : argvText)
        argv.push_back(a.data());
    argv.push_back(nullptr);

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
        if (output.size() > kMaxOutput)
            return std::nullopt;
    }
    const std::optional<int> status = child.WaitUntil(deadline);
    if (!status || !WIFEXITED(*status) || WEXITSTATUS(*status) != 0)
        return std::nullopt;
    return output;
}

// The value of a GVariant text as gsettings prints it: a quoted string loses its quotes
// and escapes; anything else (numbers) is returned as it stands.
std::string GVariantText(std::string_view value) {
    if (value.empty() || (value.front() != '\'' && value.front() != '"'))
        return std::string(value);
    const char quote = value.front();
    std::string out;
    for (std::size_t i = 1; i < value.size(); ++i) {
        const char c = value[i];
        if (c == quote)
            break;
        if (c == '\\' && i + 1 < value.size()) {
            out.push_back(value[++i]);
            continue;
        }
        out.push_back(c);
    }
    return out;
}

// Finds an executable: a name with "/" as it is, otherwise in the folders of PATH.
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
        std::string folder = pathVar.substr(start, end - start);
        if (folder.empty())
            folder = ".";
        const std::string candidate = folder + "/" + name;
        if (::access(candidate.c_str(), X_OK) == 0)
            return candidate;
        start = end + 1;
    }
    return std::nullopt;
}

}  // namespace

SystemProxy ParseProxyServerList(std::string_view list) {
    std::string text = Trim(list);
    if (const std::size_t http = text.find("http="); http != std::string::npos) {
        text.erase(0, http + 5);
        if (const std::size_t semicolon = text.find(';'); semicolon != std::string::npos)
            text.erase(semicolon);
    }
    SystemProxy proxy;
    std::size_t colon = std::string::npos;
    if (!text.empty() && text.front() == '[') {
        const std::size_t close = text.find(']');
        if (close != std::string::npos)
            colon = text.find(':', close);
    } else {
        colon = text.find(':');
    }
    if (colon == std::string::npos) {
        proxy.host = text;
        return proxy;
    }
    proxy.host = text.substr(0, colon);
    proxy.port = ParsePort(std::string_view(text).substr(colon + 1));
    return proxy;
}

std::string ProxyUrlToServerText(std::string_view url) {
    std::string text = Trim(url);
    if (const std::size_t scheme = text.find("://"); scheme != std::string::npos)
        text.erase(0, scheme + 3);
    const std::size_t pathStart = text.find_first_of("/?#");
    std::string authority = text.substr(0, pathStart);
    if (const std::size_t at = authority.rfind('@'); at != std::string::npos)
        authority.erase(0, at + 1);
    return authority;
}

std::string GnomeProxyServerText(std::string_view gsettingsOutput) {
    std::string mode, host;
    int port = 0;
    for (const std::string& line : SplitLines(gsettingsOutput)) {
        // "<schema> <key> <value>"
        const std::size_t s1 = line.find(' ');
        if (s1 == std::string::npos)
            continue;
        const std::size_t s2 = line.find(' ', s1 + 1);
        if (s2 == std::string::npos)
            continue;
        const std::string_view schema = std::string_view(line).substr(0, s1);
        const std::string_view key = std::string_view(line).substr(s1 + 1, s2 - s1 - 1);
        const std::string value = GVariantText(Trim(std::string_view(line).substr(s2 + 1)));
        if (schema == "org.gnome.system.proxy" && key == "mode") {
            mode = value;
        } else if (schema == "org.gnome.system.proxy.http" && key == "host") {
            host = Trim(value);
        } else if (schema == "org.gnome.system.proxy.http" && key == "port") {
            port = ParsePort(value);
        }
    }
    if (mode != "manual" || host.empty())
        return {};
    std::string server = ProxyUrlToServerText(host);
    if (server.empty())
        return {};
    // The port key counts when the host text names none of its own.
    const SystemProxy inHost = ParseProxyServerList(server);
    if (inHost.port == 0 && port != 0)
        server = inHost.host + ":" + std::to_string(port);
    return server;
}

SystemProxySource::SystemProxySource() : SystemProxySource(Options{}) {}

SystemProxySource::SystemProxySource(Options options) : options_(std::move(options)) {}

std::optional<std::string> SystemProxySource::Env(const std::string& name) const {
    if (options_.getEnv)
        return options_.getEnv(name);
    const char* value = std::getenv(name.c_str());
    return value != nullptr ? std::optional<std::string>(value) : std::nullopt;
}

SystemProxy SystemProxySource::GetSystemProxy() {
    for (const char* name : {"http_proxy", "HTTP_PROXY"}) {
        const std::optional<std::string> value = Env(name);
        if (!value || Trim(*value).empty())
            continue;
        return ParseProxyServerList(ProxyUrlToServerText(*value));
    }
    const std::optional<std::string> program =
        FindExecutable(options_.gsettings, Env("PATH").value_or("/usr/local/bin:/usr/bin:/bin"));
    if (!program)
        return {};
    const std::optional<std::string> output =
        RunCapture(*program, {"list-recursively", "org.gnome.system.proxy"}, options_.timeout);
    if (!output)
        return {};
    const std::string server = GnomeProxyServerText(*output);
    if (server.empty())
        return {};
    return ParseProxyServerList(server);
}

}  // namespace korvalo
