#pragma once
// A real HTTP(S) server on the loopback interface for upload tests and the upload benchmark:
// it records every request's raw bytes and answers as the test decides (a status, a hang, a
// cut connection, garbage, an endless or trickling answer, proxy or server authentication).

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace korvalo::testing {

// One request as the server read it.
struct CapturedRequest {
    std::string head;  // request line and header lines, up to and including CRLF CRLF
    std::string body;  // the body bytes (empty when the server discards bodies)
    std::uint64_t bodySize = 0;
    bool complete = false;  // the whole body arrived

    std::string RequestLine() const;
    // The header lines in order, as "Name: value".
    std::vector<std::string> HeaderLines() const;
    // The first header of that name (any case), or nothing.
    std::optional<std::string> Header(const std::string& name) const;
};

// What the server does with a request once its head has been read.
struct ServerAction {
    enum class Kind {
        Reply,         // read the body, answer status with headers and body, close
        Hang,          // read the body, answer nothing, keep the connection open
        CloseMidBody,  // read closeAfterBodyBytes of the body, then close without answering
        Garbage,       // read the body, send bytes that are no HTTP answer, close
        Endless,       // read the body, answer 200 and then send bytes until the peer leaves
        Trickle,       // read the body, then send a 200 answer one byte per trickleInterval
                       // until the peer leaves
    };
    Kind kind = Kind::Reply;
    int status = 200;
    std::vector<std::string> headers;  // extra header lines "Name: value"
    std::string body = "OK";
    std::uint64_t closeAfterBodyBytes = 0;
    std::chrono::milliseconds trickleInterval{1000};
};

// Decides on a request from its head (the body has not been read yet).
using ServerDecision = std::function<ServerAction(const CapturedRequest&)>;

struct CaptureServerOptions {
    ServerDecision decide;   // empty: answer every request 200 "OK"
    bool keepBodies = true;  // false: count the body bytes only (large uploads)
    // TLS: PEM files of the server's certificate and key; empty: plain HTTP.
    std::string certificateFile;
    std::string keyFile;
    bool requestClientCertificate = false;
};

class CaptureServer {
public:
    explicit CaptureServer(CaptureServerOptions options = {});
    ~CaptureServer();
    CaptureServer(const CaptureServer&) = delete;
    CaptureServer& operator=(const CaptureServer&) = delete;

    int Port() const { return port_; }
    // "http://127.0.0.1:<port>" + path (https with TLS).
    std::string Url(const std::string& path = "/") const;

    std::vector<CapturedRequest> Requests() const;
    std::size_t RequestCount() const;
    // Waits until at least n requests have their head read (or the time is up).
    bool WaitForRequests(std::size_t n, int timeoutMs = 10000) const;

private:
    void AcceptLoop();
    void Serve(int fd);

    CaptureServerOptions options_;
    struct Tls;
    std::unique_ptr<Tls> tls_;
    int listenFd_ = -1;
    int stopPipe_[2] = {-1, -1};
    int port_ = 0;
    mutable std::mutex mutex_;
    std::vector<CapturedRequest> requests_;
    std::vector<std::thread> connections_;
    std::thread acceptThread_;
};

// Answers for common cases.
ServerAction ReplyWith(int status, std::string body = "OK", std::vector<std::string> headers = {});
// A forward proxy that only lets requests with Basic credentials user:password through
// (answering them itself with 200), answers 407 with a Basic challenge otherwise, and answers
// every CONNECT with 407 and a challenge.
ServerDecision BasicAuthProxy(const std::string& user, const std::string& password);

}  // namespace korvalo::testing
