#pragma once
// The HTTP client (what stands in for the platform's WinHTTP client): one synchronous POST over
// libcurl, reported through the six notifications the main window handles (authentication,
// completion, error, response progress, client certificate, server certificate), or, for the
// SOAP transport, with the answer collected and returned.

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/net/http_challenge.h"
#include "platform/net/winhttp_errors.h"

namespace korvalo {

// What the client knows of the server's certificate when it asks whether to accept it.
struct ServerCertificateInfo {
    std::string protocolName;   // "TLSv1.3", "TLSv1.2" ...
    std::string algorithmName;  // the negotiated cipher, e.g. "TLS_AES_256_GCM_SHA384"
};

// The notifications of one POST. They arrive on the thread that calls THttpClient::Post.
class IHttpClientEvents {
public:
    virtual ~IHttpClientEvents() = default;
    // An authentication challenge: the proxy's (a 407 from it, or its refusal of the tunnel)
    // or the web server's (a 401 with WWW-Authenticate); FindChallenge tells which. url is
    // the address that answered with the challenge. Set userName and password and leave abort
    // false to have the request repeated with them (the proxy's go to the proxy, the server's
    // to that server only); set abort to complete the request with the challenge's status.
    virtual void NetHTTPClient1AuthEvent(AuthTarget target, const std::string& realm,
                                         const std::string& url, std::string& userName,
                                         std::string& password, bool& abort) = 0;
    // The request finished with an HTTP status (any status, 407 included).
    virtual void NetHTTPClient1RequestCompleted(int statusCode) = 0;
    // The request failed; error starts with the WinHTTP error number (see WinHttpErrorText).
    virtual void NetHTTPClient1RequestError(const std::string& error) = 0;
    // Progress while the response body is read; contentLength is -1 when unknown.
    virtual void NetHTTPClient1ReceiveData(std::int64_t contentLength, std::int64_t readCount,
                                           bool& abort) = 0;
    // The TLS server asked for a client certificate; the client goes on without one.
    virtual void NetHTTPClient1NeedClientCertificate() = 0;
    // The TLS server presented its certificate; the handshake goes on only when accepted.
    virtual void NetHTTPClient1ValidateServerCertificate(const ServerCertificateInfo& certificate,
                                                         bool& accepted) = 0;
};

// The proxy as separate values, so that no character of the credentials needs escaping.
struct ProxyEndpoint {
    std::string host;  // empty: no proxy at all (also none from the environment)
    int port = 80;
    // Given to the proxy, in code page 1251, when either is not empty; any character works.
    std::string userName;
    std::string password;
    // Hosts reached without the proxy, in libcurl's form ("localhost,.corp,10.0.0.0/8", "*"
    // for all); empty: every host goes through the proxy.
    std::string noProxy;
};

struct HttpClientOptions {
    std::chrono::milliseconds connectTimeout{60000};
    // Once connected, the transfer fails when no byte moves in either direction for this long
    // (checked about once a second).
    std::chrono::milliseconds responseTimeout{60000};
    // A transfer slower than minBytesPerSecond for minSpeedWindow fails as a time-out (12002),
    // so that an answer trickling in byte by byte cannot hold an upload for long. The speed is
    // libcurl's: the bytes moved in both directions over about the last five seconds.
    long minBytesPerSecond = 1;
    std::chrono::seconds minSpeedWindow{60};
    long maxRedirects = 10;
    // An answer body longer than this is not read to its end: the request fails (12152).
    std::int64_t maxResponseBytes = std::int64_t{64} << 20;
    // Response progress is reported for the first block and then at most once per this many
    // bytes, and once more for the last bytes.
    std::int64_t progressStep = std::int64_t{64} << 10;
};

// A request body produced while it is sent, of a length known before the first byte.
class IHttpBodySource {
public:
    virtual ~IHttpBodySource() = default;
    // The body's length in bytes (sent as Content-Length).
    virtual std::uint64_t Size() const = 0;
    // Writes the next bytes, at most capacity, into buffer and returns their count (0 at the
    // end). May throw: the transfer then ends at once, its body incomplete, and the exception
    // leaves Post or Exchange.
    virtual std::size_t Read(char* buffer, std::size_t capacity) = 0;
    // Starts again from the first byte (a repeated request: authentication, redirects). May
    // throw as Read.
    virtual void Rewind() = 0;
};

struct HttpPostRequest {
    std::string url;
    // Sent in this order, after Host; Content-Length is added by the client. Values are text:
    // one byte per character when every character is up to U+00FF (so bytes that arrived one
    // per character go out as they came), UTF-8 otherwise; CR, LF and NUL become blanks.
    std::vector<std::pair<std::string, std::string>> headers;
    std::string_view body;  // not copied; must live until Post returns
    // When set, the body is read from it instead (and body is not used); must live until Post
    // returns.
    IHttpBodySource* bodySource = nullptr;
    ProxyEndpoint proxy;
    // Asked about every 100 ms and whenever bytes move, also while connecting; true ends the
    // request at once as cancelled (12017). Called on the requesting thread; may be empty (the
    // upload sets none).
    std::function<bool()> cancelled;
};

// Why a request got no answer.
struct HttpFailure {
    int number = 0;                // the WinHTTP error number (winhttp_errors.h)
    std::string detail;            // libcurl's generic words, or the client's own
    bool connectionReset = false;  // the peer reset the connection while it was in use
    bool cancelled = false;        // HttpPostRequest::cancelled asked to stop
};

// What THttpClient::Exchange brings back: an answer (any status), or a failure.
struct HttpAnswer {
    std::optional<HttpFailure> failure;  // set when no answer arrived; the rest is then empty
    int status = 0;
    std::string reason;       // the reason phrase of the status line, e.g. "Not Found"
    std::string contentType;  // the Content-Type header's value
    std::string body;         // the whole body (at most maxResponseBytes)
};

// One POST with its notifications.
//
// Redirects are followed (http and https only). HTTP/1.1 is used; curl's own Accept,
// "Expect: 100-continue" and "Proxy-Connection" are not sent, and its cookie store starts
// empty, so only the given headers go out. Every server certificate goes to
// NetHTTPClient1ValidateServerCertificate; a client-certificate request gets none.
//
// Authentication: credentials known beforehand (ProxyEndpoint) are offered to whatever method
// the proxy asks for. When the answer is still a challenge (FindChallenge: the proxy's, or the
// web server's 401), NetHTTPClient1AuthEvent is asked once; with credentials the request is
// repeated once, at once with the offered methods: the proxy's credentials go to the proxy,
// the server's to the host of the request only (never to the proxy, never to another host a
// redirect leads to). A server challenge from another host than the request's (after a
// redirect) is not asked about: the request completes with its 401.
// A challenge after that ends the request: a plain answer completes with its status, a
// refused tunnel fails with 12032. So a proxy that answers 407 forever costs at most two
// requests (plus the probes of multi-step methods such as NTLM).
class THttpClient {
public:
    explicit THttpClient(HttpClientOptions options = {}) : options_(options) {}

    // Never throws for transport failures: they go to NetHTTPClient1RequestError. Exactly one
    // of NetHTTPClient1RequestCompleted and NetHTTPClient1RequestError is called, unless a
    // handler or the body source throws: the transfer then ends and the exception leaves Post
    // with neither called.
    void Post(const HttpPostRequest& request, IHttpClientEvents& events) const;

    // One POST whose answer is returned whole, for callers that read it (the SOAP transport).
    // Nobody is asked anything on the way: every server certificate is accepted, no client
    // certificate is given, and a challenge (407, 401) that the given proxy credentials do not
    // satisfy ends the request with its status. Never throws for transport failures.
    [[nodiscard]] HttpAnswer Exchange(const HttpPostRequest& request) const;

private:
    // Post, with the answer also kept in collect when it is not null.
    void Run(const HttpPostRequest& request, IHttpClientEvents& events, HttpAnswer* collect) const;

    HttpClientOptions options_;
};

}  // namespace korvalo
