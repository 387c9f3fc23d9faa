// Start-up of the korvalo program: the time from starting the process to the endpoint's first
// answer to OPTIONS, and the resident memory once it is idle. Each run starts a fresh copy in a
// temporary folder on the offscreen platform; the figures are medians over the runs.
//
//   startup_bench [runs] [path of korvalo]      (defaults: 15 runs, the korvalo built beside)

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr std::uint16_t kPort = 48051;

// One OPTIONS exchange; true when the answer starts with a 200 status line.
bool OptionsAnswered() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(kPort);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = false;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        const std::string request = "OPTIONS / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
        if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
            static_cast<ssize_t>(request.size())) {
            char buffer[64] = {};
            std::string head;
            ssize_t n = 0;
            while (head.size() < 15 && (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0)
                head.append(buffer, static_cast<std::size_t>(n));
            ok = head.rfind("HTTP/1.1 200", 0) == 0;
        }
    }
    ::close(fd);
    return ok;
}

long ResidentKiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0)
            return std::strtol(line.c_str() + 6, nullptr, 10);
    return -1;
}

template <typename T>
T Median(std::vector<T> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

struct RunResult {
    double startupMs = 0;
    long idleKiB = 0;
};

std::optional<RunResult> RunOnce(const fs::path& exe, const fs::path& folder) {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('='));
        if (name != "DISPLAY" && name != "WAYLAND_DISPLAY" && name != "QT_QPA_PLATFORM" &&
            name != "KORVALO_INI" && name != "XDG_CONFIG_HOME")
            env.push_back(entry);
    }
    env.push_back("QT_QPA_PLATFORM=offscreen");
    env.push_back("XDG_CONFIG_HOME=" + (folder / "config").string());
    std::vector<char*> envp;
    for (std::string& entry : env)
        envp.push_back(entry.data());
    envp.push_back(nullptr);
    std::string program = exe.string();
    char* argv[] = {program.data(), nullptr};

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
    pid_t pid = -1;
    const Clock::time_point start = Clock::now();
    const int rc = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        return std::nullopt;

    std::optional<RunResult> result;
    const Clock::time_point deadline = start + std::chrono::seconds(30);
    while (Clock::now() < deadline) {
        if (OptionsAnswered()) {
            RunResult r;
            r.startupMs = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
            std::this_thread::sleep_for(std::chrono::seconds(2));  // settle, then idle
            r.idleKiB = ResidentKiB(pid);
            result = r;
            break;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    ::kill(pid, SIGTERM);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return result;
}

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 15;
    const fs::path exe = argc > 2 ? fs::path(argv[2]) : fs::path(KORVALO_EXECUTABLE);
    if (OptionsAnswered()) {
        std::fprintf(stderr, "port %u is in use: stop the running Korvalo first\n", kPort);
        return 2;
    }
    std::string tmpl = (fs::temp_directory_path() / "korvalo-startup-XXXXXX").string();
    if (::mkdtemp(tmpl.data()) == nullptr)
        return 2;
    const fs::path folder = tmpl;
    fs::copy_file(exe, folder / "korvalo");
    std::ofstream(folder / "korvalo.ini") << "[Main]\n";

    std::vector<double> startup;
    std::vector<long> memory;
    for (int i = 0; i < runs; ++i) {
        const std::optional<RunResult> r = RunOnce(folder / "korvalo", folder);
        if (!r) {
            std::fprintf(stderr, "run %d: no answer within 30 s\n", i + 1);
            continue;
        }
        startup.push_back(r->startupMs);
        memory.push_back(r->idleKiB);
    }
    std::error_code ec;
    fs::remove_all(folder, ec);
    if (startup.empty())
        return 1;
    std::printf("korvalo start-up, offscreen platform, %zu runs\n", startup.size());
    std::printf("  start to first OPTIONS answer: median %.1f ms (min %.1f, max %.1f)\n",
                Median(startup), *std::min_element(startup.begin(), startup.end()),
                *std::max_element(startup.begin(), startup.end()));
    std::printf("  idle resident memory:          median %.1f MiB (min %.1f, max %.1f)\n",
                Median(memory) / 1024.0, *std::min_element(memory.begin(), memory.end()) / 1024.0,
                *std::max_element(memory.begin(), memory.end()) / 1024.0);
    std::printf("  goals: start-up under 400 ms, idle memory under 80 MiB\n");
    return 0;
}
