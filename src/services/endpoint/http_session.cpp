#include "services/endpoint/http_session.h"

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <algorithm>
#include <array>
#include <atomic>
#include <limits>
#include <optional>
#include <system_error>
#include <vector>

#include "core/text.h"
#include "services/endpoint/http_request.h"

namespace korvalo {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = net::ip::tcp;

namespace {

bool IsGetFamily(const std::string& method) {
    return method == "GET" || method == "HEAD" || method == "POST";
}

// Requests with a body up to this size are offered to the handlers' answer at once on the I/O
// thread (reading such a request takes no noticeable time there); larger ones go to a handler
// thread directly.
constexpr std::size_t kAtOnceBodyBytes = 16 * 1024;

// "30 s", or "300 ms" for times below a whole second.
std::string DurationText(std::chrono::milliseconds time) {
    if (time.count() % 1000 == 0)
        return std::to_string(time.count() / 1000) + " s";
    return std::to_string(time.count()) + " ms";
}

// One connection: read the request on the I/O thread, serve it there when its answer waits for
// nothing or else on a handler thread, send the answer and close on the I/O thread.
class Session : public std::enable_shared_from_this<Session> {
public:
    Session(EndpointServerCore& server, tcp::socket socket)
        : server_(server), stream_(std::move(socket)) {
        beast::error_code ec;
        const tcp::endpoint peer = stream_.socket().remote_endpoint(ec);
        if (!ec) {
            context_.peerAddress = peer.address().to_string();
            context_.peerPort = peer.port();
        }
    }

    void Start() {
        head_.emplace();
        // Beast takes a 32-bit limit: a larger setting means "as large as it can be".
        head_->header_limit(static_cast<std::uint32_t>(std::min<std::size_t>(
            server_.options.maxHeadBytes, std::numeric_limits<std::uint32_t>::max())));
        head_->body_limit(boost::none);
        stream_.expires_after(server_.options.headTimeout);
        http::async_read_header(stream_, buffer_, *head_,
                                beast::bind_front_handler(&Session::OnHead, shared_from_this()));
    }

private:
    void OnHead(beast::error_code ec, std::size_t) {
        if (ec) {
            const bool started = head_->got_some() || buffer_.size() > 0;
            if (ec == http::error::header_limit) {
                Refuse(431, "request head larger than " +
                                std::to_string(server_.options.maxHeadBytes) + " bytes");
            } else if (ec == beast::error::timeout) {
                if (started)
                    Report("request head not complete within " +
                           DurationText(server_.options.headTimeout));
                Close();
            } else if (IsLostPeer(ec)) {
                if (started)
                    Report("connection closed before the request head was complete");
                Close();
            } else {
                Refuse(400, "malformed request: " + ec.message());
            }
            return;
        }
        const auto length = head_->content_length();
        if (length && *length > server_.options.maxBodyBytes) {
            Refuse(413, "request body of " + std::to_string(*length) + " bytes refused");
            return;
        }
        const auto expect = head_->get()[http::field::expect];
        if (beast::iequals(expect, "100-continue")) {
            continue_ = "HTTP/1.1 100 Continue\r\n\r\n";
            stream_.expires_after(server_.options.writeTimeout);
            net::async_write(stream_, net::buffer(continue_),
                             [self = shared_from_this()](beast::error_code ec, std::size_t) {
                                 if (ec) {
                                     self->Close();
                                     return;
                                 }
                                 self->ReadBody();
                             });
            return;
        }
        ReadBody();
    }

    void ReadBody() {
        body_.emplace(std::move(*head_));
        head_.reset();
        body_->body_limit(server_.options.maxBodyBytes);
        stream_.expires_after(server_.options.bodyTimeout);
        http::async_read(stream_, buffer_, *body_,
                         beast::bind_front_handler(&Session::OnBody, shared_from_this()));
    }

    void OnBody(beast::error_code ec, std::size_t) {
        if (ec == http::error::body_limit) {
            Refuse(413, "request body larger than " + std::to_string(server_.options.maxBodyBytes) +
                            " bytes refused");
            return;
        }
        if (ec == beast::error::timeout) {
            Refuse(400,
                   "request body not complete within " + DurationText(server_.options.bodyTimeout));
            return;
        }
        if (ec == http::error::partial_message || IsLostPeer(ec)) {
            Refuse(400, "connection closed before the request body was complete");
            return;
        }
        if (ec) {
            Refuse(400, "malformed request: " + ec.message());
            return;
        }
        stream_.expires_never();
        if (body_->get().body().size() <= kAtOnceBodyBytes) {
            ServeOrHandOver();
            return;
        }
        server_.pool->Post([self = shared_from_this()] { self->Serve(); });
    }

    static bool IsLostPeer(const beast::error_code& ec) {
        return ec == http::error::end_of_stream || ec == net::error::eof ||
               ec == net::error::connection_reset || ec == net::error::connection_aborted ||
               ec == http::error::partial_message;
    }

    // Runs on the I/O thread for a small request: the handlers answer it at once when its
    // answer waits for nothing (no thread hand-over, no wait for a free handler thread);
    // otherwise it goes on to a handler thread.
    void ServeOrHandOver() {
        std::optional<HttpRequestInfo> info = Prepare();
        if (!info)
            return;
        HttpResponseInfo response;
        bool answered = false;
        try {
            answered = server_.handlers.AnswerAtOnce(context_, *info, response);
        } catch (const std::exception& e) {
            HandlerFailed(*info, response, e.what());
            answered = true;
        } catch (...) {
            HandlerFailed(*info, response, "unknown error");
            answered = true;
        }
        if (answered) {
            SendLater(SerializeAnswer(response, info->method != "HEAD"));
            return;
        }
        server_.pool->Post(
            [self = shared_from_this(), info = std::move(*info)]() mutable { self->Handle(info); });
    }

    // Runs on a handler thread.
    void Serve() {
        if (std::optional<HttpRequestInfo> info = Prepare())
            Handle(*info);
    }

    // The connection handler, then the request as the handlers see it; nothing when it cannot
    // be read (then answered with 400 here).
    std::optional<HttpRequestInfo> Prepare() {
        IHttpHandlers& handlers = server_.handlers;
        Guarded([&] { handlers.IdHTTPServer1Connect(context_); });
        http::request<http::string_body> req = body_->release();
        body_.reset();
        try {
            return MakeRequestInfo(req);
        } catch (const std::exception& e) {
            Guarded([&] { handlers.IdHTTPServer1Exception(context_, e.what()); });
            SendLater(Plain(400));
            return std::nullopt;
        }
    }

    // Runs on a handler thread: the command handlers, then the answer.
    void Handle(const HttpRequestInfo& info) {
        HttpResponseInfo response;
        IHttpHandlers& handlers = server_.handlers;
        try {
            if (IsGetFamily(info.method))
                handlers.IdHTTPServer1CommandGet(context_, info, response);
            else
                handlers.IdHTTPServer1CommandOther(context_, info, response);
        } catch (const std::exception& e) {
            HandlerFailed(info, response, e.what());
        } catch (...) {
            HandlerFailed(info, response, "unknown error");
        }
        SendLater(SerializeAnswer(response, info.method != "HEAD"));
    }

    void HandlerFailed(const HttpRequestInfo& info, HttpResponseInfo& response,
                       const std::string& message) {
        if (!response.headWritten) {
            response.Reset();
            response.status = 500;
            response.body = message;
        }
        Guarded(
            [&] { server_.handlers.IdHTTPServer1CommandError(context_, info, message, response); });
    }

    // Reports a connection error through the handlers (on a handler thread) and answers.
    void Refuse(int status, std::string message) {
        stream_.expires_never();  // the handler thread writes the answer
        server_.pool->Post([self = shared_from_this(), status, message = std::move(message)] {
            self->Guarded([&] { self->server_.handlers.IdHTTPServer1Connect(self->context_); });
            self->Guarded(
                [&] { self->server_.handlers.IdHTTPServer1Exception(self->context_, message); });
            self->SendLater(Plain(status));
        });
    }

    void Report(std::string message) { server_.ReportError(context_, std::move(message)); }

    static std::string Plain(int status) {
        HttpResponseInfo response;
        response.status = status;
        response.contentType = "text/plain";
        response.body = ReasonText(status);
        return SerializeAnswer(response, true);
    }

    // Calls a handler and turns whatever it throws into a line through IdHTTPServer1Exception
    // (or nothing when that throws as well).
    template <typename Fn>
    void Guarded(Fn&& fn) {
        try {
            fn();
        } catch (const std::exception& e) {
            try {
                server_.handlers.IdHTTPServer1Exception(context_, e.what());
            } catch (...) {
            }
        } catch (...) {
        }
    }

    // Runs on a handler thread or the I/O thread, while no operation of the I/O thread is
    // pending on the connection. The answer usually fits the socket's send buffer: it is written
    // right here and the connection half-closed, and the I/O thread only waits for the browser to
    // close. What does not fit is written by the I/O thread.
    void SendLater(std::string bytes) {
        beast::error_code ec;
        tcp::socket& socket = stream_.socket();
        socket.non_blocking(true, ec);
        std::size_t sent = 0;
        while (!ec && sent < bytes.size())
            sent += socket.write_some(net::buffer(bytes.data() + sent, bytes.size() - sent), ec);
        if (sent == bytes.size()) {
            socket.shutdown(tcp::socket::shutdown_send, ec);
            net::post(stream_.get_executor(), [self = shared_from_this(), ec] {
                if (ec) {
                    self->Close();
                    return;
                }
                self->stream_.expires_after(self->server_.options.lingerTimeout);
                self->Drain();
            });
            return;
        }
        if (ec != net::error::would_block && ec != net::error::try_again) {
            net::post(stream_.get_executor(), [self = shared_from_this()] { self->Close(); });
            return;
        }
        bytes.erase(0, sent);
        net::post(stream_.get_executor(),
                  [self = shared_from_this(), bytes = std::move(bytes)]() mutable {
                      self->Send(std::move(bytes));
                  });
    }

    void Send(std::string bytes) {
        out_ = std::move(bytes);
        stream_.expires_after(server_.options.writeTimeout);
        net::async_write(stream_, net::buffer(out_),
                         [self = shared_from_this()](beast::error_code ec, std::size_t) {
                             if (ec) {
                                 self->Close();
                                 return;
                             }
                             self->Linger();
                         });
    }

    // Half-closes and waits for the browser to close its side, so that what it may still
    // send does not reset the connection before the answer has been read.
    void Linger() {
        beast::error_code ec;
        stream_.socket().shutdown(tcp::socket::shutdown_send, ec);
        if (ec) {
            Close();
            return;
        }
        stream_.expires_after(server_.options.lingerTimeout);
        Drain();
    }

    void Drain() {
        stream_.async_read_some(net::buffer(scratch_),
                                [self = shared_from_this()](beast::error_code ec, std::size_t) {
                                    if (ec) {
                                        self->Close();
                                        return;
                                    }
                                    self->Drain();
                                });
    }

    void Close() {
        beast::error_code ec;
        stream_.socket().shutdown(tcp::socket::shutdown_both, ec);
        stream_.close();
    }

    EndpointServerCore& server_;
    beast::tcp_stream stream_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::empty_body>> head_;
    std::optional<http::request_parser<http::string_body>> body_;
    ConnectionContext context_;
    std::string continue_;
    std::string out_;
    std::array<char, 4096> scratch_{};
};

}  // namespace

void StartSession(EndpointServerCore& server, tcp::socket socket) {
    std::make_shared<Session>(server, std::move(socket))->Start();
}

}  // namespace korvalo
