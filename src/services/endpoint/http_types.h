#pragma once
// What the local endpoint hands its request handlers: the request as received, the answer they
// fill in, and the handler interface the server calls.

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace korvalo {

// The connection a request arrived on.
struct ConnectionContext {
    std::string peerAddress;  // numeric address of the browser's side
    std::uint16_t peerPort = 0;
};

// One request as the handlers see it. Texts from the head (request line, header lines and
// header values) hold one character per byte, as received.
struct HttpRequestInfo {
    std::string method;                    // "GET", "POST", "OPTIONS"...
    std::string requestLine;               // "GET /?a=b HTTP/1.1"
    std::vector<std::string> headerLines;  // "Name: value", in the order received
    // Decoded parameters as name=value lines: the query string for GET and HEAD; the body
    // followed by the query string for a POST of type application/x-www-form-urlencoded; the
    // query string for other requests. Each "&"-separated piece has "+" turned into a blank and
    // is percent-decoded in the character set the Content-Type names (utf-8, windows-1251,
    // iso-8859-1); with none named (or one not known) every byte becomes one character of the
    // same code (0 to 255).
    std::vector<std::string> params;
    // The Content-Type named a known character set, so the values of params are text (real
    // characters); otherwise each of their characters stands for one received byte.
    bool paramsAreText = false;
    std::string contentType;          // whole Content-Type value, empty when absent
    std::int64_t contentLength = -1;  // -1 when the request carries no Content-Length
    std::string userAgent;
    std::string referer;
    std::string body;  // raw body bytes
};

// The answer a handler prepares. The server writes it after the handler returns.
//
// Answers the server writes itself ("layer-written") have this head, every line ended by CR LF:
//   "HTTP/1.1 " status " " reason
//   "Location: " location            (only when location is not empty)
//   "Server: " server                (only when server is not empty)
//   extraHeaders as "Name: value"    (in the order added)
//   "Content-Type: " contentType ["; charset=" charSet]
//                                    (when contentType is set; with a body but no contentType:
//                                     "text/html; charset=utf-8"; none for an empty body)
//   "Content-Length: " the number of body bytes
//   "Connection: close"
//   empty line
// followed by the body encoded in the character set (charSet, else the charset parameter of
// contentType, else utf-8). A handler that wrote the head itself (WriteRawLine, then
// headWritten) gets only the encoded body after its lines, and the connection closes to end it.
// Answers to HEAD requests carry no body. Header values are written one byte per character;
// characters above U+00FF become "?" and line breaks are dropped.
class HttpResponseInfo {
public:
    int status = 200;
    std::string location;
    std::string server;
    std::string contentType;
    std::string charSet;
    std::string body;  // text; encoded in the answer's character set when sent
    std::vector<std::pair<std::string, std::string>> extraHeaders;
    // Set by a handler once it has written the head with WriteRawLine.
    bool headWritten = false;

    // Writes text and CR LF to the connection ahead of anything else the server sends.
    // Lines are sent in order, one byte per character, before the body.
    void WriteRawLine(std::string_view line);
    const std::string& RawOutput() const { return raw_; }

    // Back to a fresh answer (status 200, nothing set, nothing written).
    void Reset();

private:
    std::string raw_;
};

// Reason text of a status number: 200 OK, 301 Moved Permanently, 400 Bad Request, 413 Payload
// Too Large, 431 Request Header Fields Too Large, 499 Client Closed Request, 500 Internal
// Server Error, and the usual texts of the other codes.
std::string ReasonText(int status);

// The character set an answer's body is sent in: charSet, else the charset parameter of
// contentType, else "utf-8"; lower-cased.
std::string EffectiveCharset(const HttpResponseInfo& response);

// Text encoded in a character set: windows-1251 (cp1251), iso-8859-1 (latin1, us-ascii;
// characters above U+00FF become "?"), anything else as UTF-8.
std::string EncodeText(std::string_view text, std::string_view charset);

// The bytes the server sends for an answer (head and body as described above). With
// headWritten the raw lines are followed by the encoded body only.
std::string SerializeAnswer(const HttpResponseInfo& response, bool includeBody);

// The handlers the server calls, each on the handler thread serving the connection.
class IHttpHandlers {
public:
    virtual ~IHttpHandlers() = default;
    // A connection has a complete request (or failed request) to be served; called first.
    virtual void IdHTTPServer1Connect(ConnectionContext& context) = 0;
    // HEAD, GET and POST.
    virtual void IdHTTPServer1CommandGet(ConnectionContext& context, const HttpRequestInfo& request,
                                         HttpResponseInfo& response) = 0;
    // Every other method.
    virtual void IdHTTPServer1CommandOther(ConnectionContext& context,
                                           const HttpRequestInfo& request,
                                           HttpResponseInfo& response) = 0;
    // Asked first, on the I/O thread, for a small request: true when the handlers have answered
    // it at once, as IdHTTPServer1CommandGet or IdHTTPServer1CommandOther would have, because
    // its answer waits for nothing (no dialog, no upload, no file). False leaves the request to
    // those on a handler thread. Must never block: every connection waits while it runs.
    virtual bool AnswerAtOnce(ConnectionContext&, const HttpRequestInfo&, HttpResponseInfo&) {
        return false;
    }
    // A handler let an exception escape; the answer is already status 500 with the message.
    virtual void IdHTTPServer1CommandError(ConnectionContext& context,
                                           const HttpRequestInfo& request,
                                           const std::string& message,
                                           HttpResponseInfo& response) = 0;
    // An error of the connection outside the handlers (bad request, limits, lost peer).
    virtual void IdHTTPServer1Exception(ConnectionContext& context, const std::string& message) = 0;
};

}  // namespace korvalo
