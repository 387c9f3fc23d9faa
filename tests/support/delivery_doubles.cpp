#include "support/delivery_doubles.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <thread>

#include "core/unique_fd.h"
#include "support/processes.h"

extern char** environ;

namespace korvalo::testing {

namespace fs = std::filesystem;

namespace {

bool CanConnect(int port) {
    const UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    return ::connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
}

}  // namespace

TinyProxy::TinyProxy(const std::string& user, const std::string& password) {
    port_ = FreeLoopbackPort();
    const fs::path conf = dir_ / "tinyproxy.conf";
    WriteBytes(conf, "Port " + std::to_string(port_) +
                         "\n"
                         "Listen 127.0.0.1\n"
                         "Timeout 30\n"
                         "Allow 127.0.0.1\n"
                         "BasicAuth " +
                         user + " " + password +
                         "\n"
                         "LogLevel Info\n"
                         "MaxClients 20\n");
    const std::string log = (dir_ / "tinyproxy.log").string();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    const std::string confPath = conf.string();
    const char* argv[] = {"tinyproxy", "-d", "-c", confPath.c_str(), nullptr};
    const int rc = posix_spawnp(&pid_, "tinyproxy", &actions, nullptr,
                                const_cast<char* const*>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        throw std::runtime_error("cannot start tinyproxy");
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!CanConnect(port_)) {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            throw std::runtime_error("tinyproxy ended: " + Log());
        }
        if (std::chrono::steady_clock::now() > until)
            throw std::runtime_error("tinyproxy does not listen: " + Log());
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

TinyProxy::~TinyProxy() {
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        int status = 0;
        ::waitpid(pid_, &status, 0);
    }
}

std::string TinyProxy::Log() const {
    return ReadBytes(dir_ / "tinyproxy.log");
}

}  // namespace korvalo::testing
