#include "support/capture_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstring>
#include <stdexcept>

#include "core/base64.h"
#include "core/text.h"
#include "core/unique_fd.h"
#include "support/wait.h"

namespace korvalo::testing {

namespace {

struct SslCtxDeleter {
    void operator()(SSL_CTX* ctx) const { SSL_CTX_free(ctx); }
};
struct SslDeleter {
    void operator()(SSL* ssl) const { SSL_free(ssl); }
};

std::string Reason(int status) {
    switch (status) {
        case 200:
            return "OK";
        case 302:
            return "Found";
        case 307:
            return "Temporary Redirect";
        case 401:
            return "Unauthorized";
        case 407:
            return "Proxy Authentication Required";
        case 500:
            return "Internal Server Error";
        default:
            return "Status";
    }
}

std::optional<std::uint64_t> ContentLength(const CapturedRequest& request) {
    const auto value = request.Header("Content-Length");
    if (!value)
        return std::nullopt;
    return std::stoull(*value);
}

}  // namespace

std::string CapturedRequest::RequestLine() const {
    return head.substr(0, head.find("\r\n"));
}

std::vector<std::string> CapturedRequest::HeaderLines() const {
    std::vector<std::string> lines;
    std::size_t pos = head.find("\r\n");
    while (pos != std::string::npos) {
        const std::size_t next = head.find("\r\n", pos + 2);
        if (next == std::string::npos || next == pos + 2)
            break;
        lines.push_back(head.substr(pos + 2, next - pos - 2));
        pos = next;
    }
    return lines;
}

std::optional<std::string> CapturedRequest::Header(const std::string& name) const {
    for (const std::string& line : HeaderLines()) {
        const std::size_t colon = line.find(':');
        if (colon != std::string::npos && EqualsNoCase(line.substr(0, colon), name))
            return Trim(line.substr(colon + 1));
    }
    return std::nullopt;
}

struct CaptureServer::Tls {
    std::unique_ptr<SSL_CTX, SslCtxDeleter> ctx;
};

// One connection's byte stream, plain or TLS, that gives up when the server stops.
class Connection {
public:
    Connection(int fd, int stopFd, SSL* ssl) : fd_(fd), stopFd_(stopFd), ssl_(ssl) {}

    // Waits for bytes; false when the server stops or the peer is gone.
    bool WaitReadable() const {
        if (ssl_ != nullptr && SSL_pending(ssl_) > 0)
            return true;
        pollfd fds[2] = {{fd_, POLLIN, 0}, {stopFd_, POLLIN, 0}};
        for (;;) {
            const int n = ::poll(fds, 2, -1);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 || (fds[1].revents & POLLIN))
                return false;
            return true;
        }
    }
    // Reads up to size bytes; 0 at the end or on failure.
    std::size_t Read(char* data, std::size_t size) const {
        if (!WaitReadable())
            return 0;
        if (ssl_ != nullptr) {
            const int n =
                SSL_read(ssl_, data, static_cast<int>(std::min<std::size_t>(size, 1 << 30)));
            return n > 0 ? static_cast<std::size_t>(n) : 0;
        }
        for (;;) {
            const ssize_t n = ::recv(fd_, data, size, 0);
            if (n < 0 && errno == EINTR)
                continue;
            return n > 0 ? static_cast<std::size_t>(n) : 0;
        }
    }
    bool Write(std::string_view bytes) const {
        while (!bytes.empty()) {
            ssize_t n;
            if (ssl_ != nullptr)
                n = SSL_write(ssl_, bytes.data(),
                              static_cast<int>(std::min<std::size_t>(bytes.size(), 1 << 30)));
            else
                n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (n < 0 && ssl_ == nullptr && errno == EINTR)
                continue;
            if (n <= 0)
                return false;
            bytes.remove_prefix(static_cast<std::size_t>(n));
        }
        return true;
    }
    bool Stopped() const {
        pollfd fd{stopFd_, POLLIN, 0};
        return ::poll(&fd, 1, 0) > 0;
    }
    // Waits up to timeout for the peer to close or the server to stop; true when either did
    // (what the peer sends meanwhile is read and dropped).
    bool EndsWithin(std::chrono::milliseconds timeout) const {
        const auto until = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                until - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                return false;
            pollfd fds[2] = {{fd_, POLLIN, 0}, {stopFd_, POLLIN, 0}};
            const int n = ::poll(fds, 2, static_cast<int>(left.count()));
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 || (fds[1].revents & POLLIN))
                return true;
            if (n == 0)
                return false;
            char buf[4096];
            if (::recv(fd_, buf, sizeof buf, 0) <= 0)
                return true;
        }
    }
    // Waits until the peer closes or the server stops.
    void WaitForEnd() const {
        char buf[4096];
        while (Read(buf, sizeof buf) > 0) {
        }
    }

private:
    int fd_;
    int stopFd_;
    SSL* ssl_;
};

CaptureServer::CaptureServer(CaptureServerOptions options) : options_(std::move(options)) {
    std::signal(SIGPIPE, SIG_IGN);
    if (!options_.certificateFile.empty()) {
        tls_ = std::make_unique<Tls>();
        tls_->ctx.reset(SSL_CTX_new(TLS_server_method()));
        if (!tls_->ctx ||
            SSL_CTX_use_certificate_chain_file(tls_->ctx.get(), options_.certificateFile.c_str()) !=
                1 ||
            SSL_CTX_use_PrivateKey_file(tls_->ctx.get(), options_.keyFile.c_str(),
                                        SSL_FILETYPE_PEM) != 1)
            throw std::runtime_error("capture server: cannot load the TLS certificate");
        if (options_.requestClientCertificate) {
            SSL_CTX_set_verify(tls_->ctx.get(), SSL_VERIFY_PEER,
                               [](int, X509_STORE_CTX*) { return 1; });
        }
    }
    if (::pipe(stopPipe_) != 0)
        throw std::runtime_error("capture server: pipe");
    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listenFd_, 64) != 0)
        throw std::runtime_error("capture server: cannot listen");
    socklen_t len = sizeof addr;
    ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    acceptThread_ = std::thread([this] { AcceptLoop(); });
}

CaptureServer::~CaptureServer() {
    const char stop = 's';
    (void)!::write(stopPipe_[1], &stop, 1);
    acceptThread_.join();
    for (std::thread& t : connections_)
        t.join();
    ::close(listenFd_);
    ::close(stopPipe_[0]);
    ::close(stopPipe_[1]);
}

std::string CaptureServer::Url(const std::string& path) const {
    return std::string(tls_ ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_) + path;
}

std::vector<CapturedRequest> CaptureServer::Requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

std::size_t CaptureServer::RequestCount() const {
    std::lock_guard lock(mutex_);
    return requests_.size();
}

bool CaptureServer::WaitForRequests(std::size_t n, int timeoutMs) const {
    return WaitUntil([&] { return RequestCount() >= n; }, std::chrono::milliseconds(timeoutMs));
}

void CaptureServer::AcceptLoop() {
    for (;;) {
        pollfd fds[2] = {{listenFd_, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (fds[1].revents & POLLIN)
            return;
        const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        std::lock_guard lock(mutex_);
        connections_.emplace_back([this, fd] { Serve(fd); });
    }
}

void CaptureServer::Serve(int rawFd) {
    const UniqueFd socket(rawFd);
    std::unique_ptr<SSL, SslDeleter> ssl;
    if (tls_) {
        ssl.reset(SSL_new(tls_->ctx.get()));
        SSL_set_fd(ssl.get(), socket.get());
        if (SSL_accept(ssl.get()) != 1)
            return;
    }
    const Connection conn(socket.get(), stopPipe_[0], ssl.get());

    // The head.
    CapturedRequest request;
    std::string buffer;
    char chunk[1 << 16];
    std::size_t headEnd;
    while ((headEnd = buffer.find("\r\n\r\n")) == std::string::npos) {
        const std::size_t n = conn.Read(chunk, sizeof chunk);
        if (n == 0 || buffer.size() > (1u << 20))
            return;
        buffer.append(chunk, n);
        if (buffer[0] < 'A' || buffer[0] > 'Z') {  // no HTTP request (a TLS hello, say)
            conn.Write("HTTP/1.1 400 Bad Request\r\nConnection: close\r\n\r\n");
            return;
        }
    }
    request.head = buffer.substr(0, headEnd + 4);
    buffer.erase(0, headEnd + 4);

    const ServerAction action = options_.decide ? options_.decide(request) : ServerAction{};
    std::size_t index;
    {
        std::lock_guard lock(mutex_);
        requests_.push_back(request);
        index = requests_.size() - 1;
    }

    // The body.
    const std::uint64_t length = ContentLength(request).value_or(0);
    std::uint64_t limit = length;
    if (action.kind == ServerAction::Kind::CloseMidBody)
        limit = std::min(limit, action.closeAfterBodyBytes);
    const auto expect = request.Header("Expect");
    if (expect && EqualsNoCase(*expect, "100-continue") &&
        action.kind != ServerAction::Kind::CloseMidBody && action.status < 300 &&
        !conn.Write("HTTP/1.1 100 Continue\r\n\r\n"))
        return;
    std::string body;
    if (options_.keepBodies)
        body.reserve(static_cast<std::size_t>(limit));
    std::uint64_t got = 0;
    auto take = [&](const char* data, std::size_t n) {
        n = static_cast<std::size_t>(std::min<std::uint64_t>(n, limit - got));
        if (options_.keepBodies)
            body.append(data, n);
        got += n;
    };
    take(buffer.data(), buffer.size());
    while (got < limit) {
        const std::size_t n = conn.Read(chunk, sizeof chunk);
        if (n == 0)
            break;
        take(chunk, n);
    }
    {
        std::lock_guard lock(mutex_);
        requests_[index].body = std::move(body);
        requests_[index].bodySize = got;
        requests_[index].complete = got == length;
    }

    switch (action.kind) {
        case ServerAction::Kind::CloseMidBody:
            return;
        case ServerAction::Kind::Hang:
            conn.WaitForEnd();
            return;
        case ServerAction::Kind::Garbage:
            conn.Write("\x01\x02garbage that is no HTTP answer\r\n\r\n");
            return;
        case ServerAction::Kind::Endless: {
            if (!conn.Write("HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n"))
                return;
            const std::string filler(1 << 16, 'x');
            while (!conn.Stopped() && conn.Write(filler)) {
            }
            return;
        }
        case ServerAction::Kind::Trickle: {
            const std::string answer =
                "HTTP/1.1 200 OK\r\nContent-Length: 1000000\r\nConnection: close\r\n\r\n" +
                std::string(1000000, 'x');
            for (const char byte : answer) {
                if (!conn.Write(std::string_view(&byte, 1)) ||
                    conn.EndsWithin(action.trickleInterval))
                    return;
            }
            return;
        }
        case ServerAction::Kind::Reply: {
            std::string answer =
                "HTTP/1.1 " + std::to_string(action.status) + " " + Reason(action.status) + "\r\n";
            for (const std::string& line : action.headers)
                answer += line + "\r\n";
            answer += "Content-Length: " + std::to_string(action.body.size()) + "\r\n";
            answer += "Connection: close\r\n\r\n";
            answer += action.body;
            conn.Write(answer);
            if (ssl)
                SSL_shutdown(ssl.get());
            return;
        }
    }
}

ServerAction ReplyWith(int status, std::string body, std::vector<std::string> headers) {
    ServerAction action;
    action.status = status;
    action.body = std::move(body);
    action.headers = std::move(headers);
    return action;
}

ServerDecision BasicAuthProxy(const std::string& user, const std::string& password) {
    const std::string expected = "Basic " + Base64Encode(user + ":" + password);
    return [expected](const CapturedRequest& request) {
        const std::vector<std::string> challenge = {
            "Proxy-Authenticate: Basic realm=\"Korvalo test proxy\""};
        if (request.RequestLine().rfind("CONNECT ", 0) == 0)
            return ReplyWith(407, "", challenge);
        if (request.Header("Proxy-Authorization") != expected)
            return ReplyWith(407, "proxy login needed", challenge);
        return ReplyWith(200, "passed the proxy");
    };
}

}  // namespace korvalo::testing
