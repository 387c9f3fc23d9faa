#pragma once
// The local HTTP endpoint: listens on the IPv4 and IPv6 loopback addresses (or, when asked, on
// the wildcard addresses of every interface), reads one request per connection, hands it to
// the handlers on a bounded set of handler threads and closes the connection after the answer.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "services/endpoint/http_types.h"

namespace korvalo {

// The port the browser pages call.
inline constexpr std::uint16_t kEndpointPort = 48051;

struct EndpointOptions {
    std::uint16_t port = kEndpointPort;  // 0: a free port the system picks (tests)
    // Requests served at once; further complete requests wait for a free handler thread.
    std::size_t maxHandlerThreads = 32;
    // Threads that accept connections, read requests and send the answers given at once (never
    // blocked by a command handler). Two keep a second core busy under a flood of requests.
    std::size_t ioThreads = 2;
    // A connection that has not sent its whole head within this time is closed.
    std::chrono::milliseconds headTimeout{30000};
    // Time allowed for reading the body once the head is complete.
    std::chrono::milliseconds bodyTimeout{120000};
    // Time allowed for sending an answer.
    std::chrono::milliseconds writeTimeout{30000};
    // After the answer the connection is closed once the browser closes its side, or after
    // this time.
    std::chrono::milliseconds lingerTimeout{2000};
    // A head larger than this gets 431.
    std::size_t maxHeadBytes = 64 * 1024;
    // A body larger than this gets 413; a declared one without being read.
    std::uint64_t maxBodyBytes = 512ull * 1024 * 1024;
    // Listen on the IPv6 address as well, where the system has IPv6.
    bool listenIpv6 = true;
    // Listen on the wildcard addresses (0.0.0.0 and [::]), so that other hosts of the network
    // reach the endpoint; otherwise only on 127.0.0.1 and [::1].
    bool listenAllInterfaces = false;
};

// The endpoint. A request with a small body is first offered to AnswerAtOnce on the I/O thread
// (after IdHTTPServer1Connect there); the command handlers are called on handler threads (one
// request per thread, at most maxHandlerThreads at once); a command handler may block as long
// as it needs, reading of other connections goes on meanwhile.
//
// Requests the handlers never see (each is reported through IdHTTPServer1Exception, after
// IdHTTPServer1Connect, and answered by the server; the head is the layer-written head of
// http_types.h with the reason text as body):
//   - a malformed request line or header, an invalid percent escape in the parameters, a body
//     shorter than its Content-Length (peer closed or body time-out): 400 Bad Request;
//   - a head larger than maxHeadBytes: 431 Request Header Fields Too Large;
//   - a body larger than maxBodyBytes: 413 Payload Too Large (a declared Content-Length is
//     refused before any of the body is read);
//   - a head not complete within headTimeout: the connection is closed without an answer (and
//     without a log line when the browser sent nothing at all, as idle pre-connections do).
// Answers to "Expect: 100-continue" get "HTTP/1.1 100 Continue" before the body is read.
class HttpServer {
public:
    HttpServer(IHttpHandlers& handlers, EndpointOptions options = {});
    // Close().
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Starts listening. Throws std::system_error when the port cannot be opened (for example
    // when another program holds it); the server is then not active.
    void Open();
    // Stops listening and drops every connection; waits for running handlers to return.
    void Close();

    bool Active() const;
    // The port listened on (the chosen one when the options asked for port 0).
    std::uint16_t Port() const;
    bool ListensOnIpv6() const;
    // The addresses listened on, as "127.0.0.1:48051" and "[::1]:48051" (empty when closed).
    std::vector<std::string> ListenAddresses() const;
    // Handler threads started so far (never more than maxHandlerThreads).
    std::size_t HandlerThreadCount() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace korvalo
