#include "support/raw_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <stdexcept>

namespace korvalo::testing {

RawConnection::RawConnection(const std::string& host, std::uint16_t port) {
    sockaddr_storage addr{};
    socklen_t len = 0;
    auto* v4 = reinterpret_cast<sockaddr_in*>(&addr);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&addr);
    if (::inet_pton(AF_INET, host.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(port);
        len = sizeof(sockaddr_in);
    } else if (::inet_pton(AF_INET6, host.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(port);
        len = sizeof(sockaddr_in6);
    } else {
        throw std::invalid_argument("not a numeric address: " + host);
    }
    fd_ = ::socket(addr.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0)
        throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), len) != 0) {
        const int err = errno;
        ::close(fd_);
        fd_ = -1;
        throw std::runtime_error("connect to " + host + ":" + std::to_string(port) + ": " +
                                 std::strerror(err));
    }
}

RawConnection::~RawConnection() {
    if (fd_ >= 0)
        ::close(fd_);
}

void RawConnection::Send(std::string_view bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throw std::runtime_error(std::string("send: ") + std::strerror(errno));
        }
        done += static_cast<std::size_t>(n);
    }
}

void RawConnection::HalfClose() {
    ::shutdown(fd_, SHUT_WR);
}

std::string RawConnection::ReadAll(std::chrono::milliseconds timeout, bool* timedOut) {
    return Read(SIZE_MAX, timeout, timedOut);
}

std::string RawConnection::ReadAtLeast(std::size_t n, std::chrono::milliseconds timeout) {
    return Read(n, timeout, nullptr);
}

std::string RawConnection::Read(std::size_t atLeast, std::chrono::milliseconds timeout,
                                bool* timedOut) {
    std::string out;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    if (timedOut != nullptr)
        *timedOut = false;
    while (true) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            if (timedOut != nullptr)
                *timedOut = true;
            return out;
        }
        pollfd p{fd_, POLLIN, 0};
        const int r = ::poll(&p, 1, static_cast<int>(left.count()));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            continue;
        char buf[65536];
        const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return out;  // closed (or reset)
        out.append(buf, static_cast<std::size_t>(n));
        if (out.size() >= atLeast)
            return out;
    }
}

bool RawConnection::WaitClosed(std::chrono::milliseconds timeout) {
    bool timedOut = false;
    ReadAll(timeout, &timedOut);
    return !timedOut;
}

std::string Exchange(std::uint16_t port, std::string_view request, const std::string& host) {
    RawConnection connection(host, port);
    connection.Send(request);
    return connection.ReadAll();
}

RawAnswer SplitAnswer(const std::string& raw) {
    const std::size_t end = raw.find("\r\n\r\n");
    if (end == std::string::npos)
        return {raw, {}};
    return {raw.substr(0, end + 4), raw.substr(end + 4)};
}

}  // namespace korvalo::testing
