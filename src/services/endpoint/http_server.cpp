#include "services/endpoint/http_server.h"

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <array>
#include <atomic>
#include <charconv>
#include <optional>
#include <system_error>
#include <thread>
#include <vector>

#include "core/text.h"
#include "services/endpoint/handler_pool.h"
#include "services/endpoint/http_params.h"

namespace korvalo {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = net::ip::tcp;

namespace {

bool IsGetFamily(const std::string& method) {
    return method == "GET" || method == "HEAD" || method == "POST";
}

// "30 s", or "300 ms" for times below a whole second.
std::string DurationText(std::chrono::milliseconds time) {
    if (time.count() % 1000 == 0)
        return std::to_string(time.count() / 1000) + " s";
    return std::to_string(time.count()) + " ms";
}

std::int64_t ParseContentLength(std::string_view text) {
    std::int64_t value = -1;
    const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || ptr != text.data() + text.size())
        return -1;
    return value;
}

// The request as the handlers see it. Throws InvalidPercentEscape.
HttpRequestInfo MakeRequestInfo(http::request<http::string_body>& req) {
    HttpRequestInfo info;
    info.method = std::string(req.method_string());
    const std::string target(req.target());
    info.requestLine =
        FromLatin1(info.method + " " + target + " HTTP/" + std::to_string(req.version() / 10) +
                   "." + std::to_string(req.version() % 10));
    for (const auto& field : req) {
        info.headerLines.push_back(
            FromLatin1(std::string(field.name_string()) + ": " + std::string(field.value())));
    }
    info.contentType = FromLatin1(req[http::field::content_type]);
    info.userAgent = FromLatin1(req[http::field::user_agent]);
    info.referer = FromLatin1(req[http::field::referer]);
    if (req.find(http::field::content_length) != req.end())
        info.contentLength = ParseContentLength(req[http::field::content_length]);
    info.body = std::move(req.body());

    const std::size_t question = target.find('?');
    const std::string query = question == std::string::npos ? "" : target.substr(question + 1);
    std::string encoded = query;
    if (info.method == "POST" &&
        EqualsNoCase(ContentTypeMedia(info.contentType), "application/x-www-form-urlencoded")) {
        encoded = info.body;
        if (!query.empty()) {
            if (!encoded.empty())
                encoded += "&";
            encoded += query;
        }
    }
    info.params = DecodeFormParams(encoded, ContentTypeCharset(info.contentType));
    return info;
}

}  // namespace

// What the connections share with the server.
struct EndpointServerCore {
    EndpointServerCore(IHttpHandlers& h, EndpointOptions o) : handlers(h), options(o) {}

    IHttpHandlers& handlers;
    const EndpointOptions options;
    std::unique_ptr<HandlerPool> pool;

    // Reports an error outside any request through the handlers, on a handler thread.
    void ReportError(ConnectionContext context, std::string message) {
        pool->Post([this, context = std::move(context), message = std::move(message)]() mutable {
            try {
                handlers.IdHTTPServer1Exception(context, message);
            } catch (...) {
            }
        });
    }
};

namespace {

// One connection: read the request on the I/O thread, serve it on a handler thread, send the
// answer and close on the I/O thread.
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
        head_->header_limit(static_cast<std::uint32_t>(server_.options.maxHeadBytes));
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
        server_.pool->Post([self = shared_from_this()] { self->Serve(); });
    }

    static bool IsLostPeer(const beast::error_code& ec) {
        return ec == http::error::end_of_stream || ec == net::error::eof ||
               ec == net::error::connection_reset || ec == net::error::connection_aborted ||
               ec == http::error::partial_message;
    }

    // Runs on a handler thread.
    void Serve() {
        HttpResponseInfo response;
        IHttpHandlers& handlers = server_.handlers;
        Guarded([&] { handlers.IdHTTPServer1Connect(context_); });
        http::request<http::string_body> req = body_->release();
        body_.reset();
        bool head = false;
        HttpRequestInfo info;
        try {
            info = MakeRequestInfo(req);
            head = info.method == "HEAD";
        } catch (const std::exception& e) {
            Guarded([&] { handlers.IdHTTPServer1Exception(context_, e.what()); });
            SendLater(Plain(400));
            return;
        }
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
        SendLater(SerializeAnswer(response, !head));
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

    // Runs on a handler thread, while no operation of the I/O thread is pending on the
    // connection. The answer usually fits the socket's send buffer: it is written right here
    // and the connection half-closed, and the I/O thread only waits for the browser to close.
    // What does not fit is written by the I/O thread.
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

struct HttpServer::Impl : EndpointServerCore {
    using EndpointServerCore::EndpointServerCore;

    std::unique_ptr<net::io_context> ioc;
    std::vector<std::unique_ptr<tcp::acceptor>> acceptors;
    std::vector<std::thread> ioThreads;
    std::atomic<bool> active{false};
    std::atomic<bool> acceptErrorReported{false};
    std::uint16_t port = 0;
    bool ipv6 = false;

    void Accept(tcp::acceptor& acceptor);
    void Listen();
};

void HttpServer::Impl::Accept(tcp::acceptor& acceptor) {
    acceptor.async_accept(
        net::make_strand(*ioc), [this, &acceptor](beast::error_code ec, tcp::socket socket) {
            if (ec == net::error::operation_aborted || !acceptor.is_open())
                return;
            if (ec) {
                // Out of descriptors or a similar passing failure: report it once per series
                // and try again shortly.
                if (!acceptErrorReported.exchange(true))
                    ReportError({}, "accept failed: " + ec.message());
                auto timer = std::make_shared<net::steady_timer>(*ioc);
                timer->expires_after(std::chrono::milliseconds(100));
                timer->async_wait([this, &acceptor, timer](beast::error_code wec) {
                    if (!wec)
                        Accept(acceptor);
                });
                return;
            }
            acceptErrorReported = false;
            std::make_shared<Session>(*this, std::move(socket))->Start();
            Accept(acceptor);
        });
}

void HttpServer::Impl::Listen() {
    constexpr int kAttempts = 20;
    for (int attempt = 1;; ++attempt) {
        acceptors.clear();
        ipv6 = false;
        auto v4 = std::make_unique<tcp::acceptor>(*ioc);
        v4->open(tcp::v4());
        v4->set_option(net::socket_base::reuse_address(true));
        v4->bind(tcp::endpoint(net::ip::address_v4::any(), options.port));
        v4->listen(net::socket_base::max_listen_connections);
        port = v4->local_endpoint().port();
        acceptors.push_back(std::move(v4));
        if (!options.listenIpv6)
            return;

        auto v6 = std::make_unique<tcp::acceptor>(*ioc);
        beast::error_code ec;
        v6->open(tcp::v6(), ec);
        if (ec)
            return;  // no IPv6 on this system
        v6->set_option(net::ip::v6_only(true), ec);
        v6->set_option(net::socket_base::reuse_address(true), ec);
        v6->bind(tcp::endpoint(net::ip::address_v6::any(), port), ec);
        if (ec == net::error::address_in_use) {
            if (options.port == 0 && attempt < kAttempts)
                continue;  // the chosen port is taken on IPv6: choose another
            throw std::system_error(ec, "cannot listen on [::]:" + std::to_string(port));
        }
        if (ec)
            return;  // IPv6 present but not usable (no address configured)
        v6->listen(net::socket_base::max_listen_connections, ec);
        if (ec)
            throw std::system_error(ec, "cannot listen on [::]:" + std::to_string(port));
        acceptors.push_back(std::move(v6));
        ipv6 = true;
        return;
    }
}

HttpServer::HttpServer(IHttpHandlers& handlers, EndpointOptions options)
    : impl_(std::make_unique<Impl>(handlers, options)) {}

HttpServer::~HttpServer() {
    Close();
}

void HttpServer::Open() {
    if (impl_->active)
        return;
    impl_->ioc = std::make_unique<net::io_context>(static_cast<int>(impl_->options.ioThreads));
    impl_->pool = std::make_unique<HandlerPool>(impl_->options.maxHandlerThreads);
    try {
        impl_->Listen();
    } catch (const boost::system::system_error& e) {
        impl_->acceptors.clear();
        impl_->pool.reset();
        impl_->ioc.reset();
        throw std::system_error(e.code(),
                                "cannot listen on port " + std::to_string(impl_->options.port));
    } catch (...) {
        impl_->acceptors.clear();
        impl_->pool.reset();
        impl_->ioc.reset();
        throw;
    }
    for (auto& acceptor : impl_->acceptors)
        impl_->Accept(*acceptor);
    const std::size_t n = impl_->options.ioThreads == 0 ? 1 : impl_->options.ioThreads;
    for (std::size_t i = 0; i < n; ++i)
        impl_->ioThreads.emplace_back([ioc = impl_->ioc.get()] { ioc->run(); });
    impl_->active = true;
}

void HttpServer::Close() {
    if (!impl_->active.exchange(false))
        return;
    // Stop the I/O first, so no new request reaches the handlers; then let running handlers
    // return; then drop the connections with the I/O context.
    impl_->ioc->stop();
    for (std::thread& t : impl_->ioThreads)
        t.join();
    impl_->ioThreads.clear();
    impl_->acceptors.clear();
    impl_->pool.reset();
    impl_->ioc.reset();
}

bool HttpServer::Active() const {
    return impl_->active;
}

std::uint16_t HttpServer::Port() const {
    return impl_->port;
}

bool HttpServer::ListensOnIpv6() const {
    return impl_->ipv6;
}

std::size_t HttpServer::HandlerThreadCount() const {
    return impl_->pool ? impl_->pool->ThreadCount() : 0;
}

}  // namespace korvalo
