#include "http_server.h"

#include <boost/asio/strand.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <array>
#include <optional>

namespace korvalo::demo {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

namespace {

// One connection: reads requests one after another and answers each.
class Session : public std::enable_shared_from_this<Session> {
public:
    Session(tcp::socket socket, DemoService& service, const ServerLimits& limits,
            std::shared_ptr<std::size_t> connections)
        : FStream(std::move(socket)),
          FService(service),
          FLimits(limits),
          FConnections(std::move(connections)) {
        ++*FConnections;
    }
    ~Session() { --*FConnections; }

    void Run() { ReadHeader(); }

private:
    void ReadHeader() {
        FParser.emplace();
        FParser->body_limit(FLimits.maxBodyBytes);
        FParser->header_limit(FLimits.maxHeaderBytes);
        FStream.expires_after(FLimits.timeout);
        http::async_read_header(
            FStream, FBuffer, *FParser,
            [self = shared_from_this()](beast::error_code ec, std::size_t) { self->OnHeader(ec); });
    }

    void OnHeader(beast::error_code ec) {
        if (ec == http::error::end_of_stream || ec == asio::error::eof ||
            ec == beast::error::timeout || ec == asio::error::connection_reset ||
            ec == asio::error::operation_aborted)
            return Close();
        if (ec == http::error::header_limit)
            return Fail(431, "the request head is too large");
        if (ec == http::error::body_limit)  // a Content-Length over the limit
            return Fail(
                413, "the body is larger than " + std::to_string(FLimits.maxBodyBytes) + " bytes");
        if (ec)
            return Fail(400, "malformed HTTP request: " + ec.message());
        const auto& head = FParser->get();
        if (const auto length = FParser->content_length(); length && *length > FLimits.maxBodyBytes)
            return Fail(
                413, "the body is larger than " + std::to_string(FLimits.maxBodyBytes) + " bytes");
        if (beast::iequals(head[http::field::expect], "100-continue")) {
            auto cont = std::make_shared<http::response<http::empty_body>>(http::status::continue_,
                                                                           head.version());
            http::async_write(FStream, *cont,
                              [self = shared_from_this(), cont](beast::error_code ec, std::size_t) {
                                  if (ec)
                                      return self->Close();
                                  self->ReadBody();
                              });
            return;
        }
        ReadBody();
    }

    void ReadBody() {
        FStream.expires_after(FLimits.timeout);
        http::async_read(FStream, FBuffer, *FParser,
                         [self = shared_from_this()](beast::error_code ec, std::size_t) {
                             self->OnRequest(ec);
                         });
    }

    void OnRequest(beast::error_code ec) {
        if (ec == http::error::body_limit)
            return Fail(
                413, "the body is larger than " + std::to_string(FLimits.maxBodyBytes) + " bytes");
        if (ec == beast::error::timeout || ec == asio::error::connection_reset ||
            ec == asio::error::operation_aborted || ec == http::error::end_of_stream ||
            ec == asio::error::eof || ec == http::error::partial_message)
            return Close();
        if (ec)
            return Fail(400, "malformed HTTP request: " + ec.message());

        auto& request = FParser->get();
        WebRequest web;
        web.method = std::string(request.method_string());
        web.target = std::string(request.target());
        web.contentType = std::string(request[http::field::content_type]);
        if (request.find(http::field::cookie) != request.end())
            web.cookie = std::string(request[http::field::cookie]);
        web.userAgent = std::string(request[http::field::user_agent]);
        web.body = std::move(request.body());
        const WebAnswer answer = FService.Handle(web);
        Send(answer, request.version(), request.keep_alive(), request.method() == http::verb::head);
    }

    void Fail(int status, const std::string& text) {
        WebAnswer answer;
        answer.status = status;
        answer.body = text + "\n";
        FFailed = true;
        Send(answer, 11, false, false);
    }

    void Send(const WebAnswer& answer, unsigned version, bool keepAlive, bool head) {
        auto response = std::make_shared<http::response<http::string_body>>(
            static_cast<http::status>(answer.status), version);
        response->set(http::field::server, "korvalo-demo-service");
        response->set(http::field::content_type, answer.contentType);
        response->set(http::field::cache_control, "no-store");
        response->set("X-Content-Type-Options", "nosniff");
        for (const auto& [name, value] : answer.headers)
            response->set(name, value);
        response->keep_alive(keepAlive);
        if (head) {
            response->content_length(answer.body.size());
        } else {
            response->body() = answer.body;
            response->prepare_payload();
        }
        FStream.expires_after(FLimits.timeout);
        http::async_write(FStream, *response,
                          [self = shared_from_this(), response](beast::error_code ec, std::size_t) {
                              if (!ec && self->FFailed)
                                  return self->Drain();
                              if (ec || !response->keep_alive())
                                  return self->Close();
                              self->ReadHeader();
                          });
    }

    // After an error answer the client may still be sending: stop writing, read and discard
    // what comes for a little while so that closing does not reset the connection before the
    // client has read the answer.
    void Drain(bool first = true) {
        if (first) {
            beast::error_code ignored;
            FStream.socket().shutdown(tcp::socket::shutdown_send, ignored);
            FStream.expires_after(std::chrono::seconds(5));  // one deadline for all reads
        }
        FStream.async_read_some(asio::buffer(FDiscard),
                                [self = shared_from_this()](beast::error_code ec, std::size_t) {
                                    if (ec)
                                        return self->Close();
                                    self->Drain(false);
                                });
    }

    void Close() {
        beast::error_code ignored;
        FStream.socket().shutdown(tcp::socket::shutdown_send, ignored);
        FStream.socket().close(ignored);
    }

    beast::tcp_stream FStream;
    beast::flat_buffer FBuffer;
    std::optional<http::request_parser<http::string_body>> FParser;
    DemoService& FService;
    const ServerLimits& FLimits;
    std::shared_ptr<std::size_t> FConnections;
    bool FFailed = false;
    std::array<char, 64 * 1024> FDiscard{};
};

}  // namespace

HttpServer::HttpServer(asio::io_context& io, const tcp::endpoint& endpoint, ServerLimits limits)
    : FIo(io), FAcceptor(io), FLimits(limits) {
    FAcceptor.open(endpoint.protocol());
    FAcceptor.set_option(asio::socket_base::reuse_address(true));
    FAcceptor.bind(endpoint);
    FAcceptor.listen(asio::socket_base::max_listen_connections);
}

unsigned short HttpServer::Port() const {
    return FAcceptor.local_endpoint().port();
}

void HttpServer::Start(DemoService& service) {
    FService = &service;
    Accept();
}

void HttpServer::Accept() {
    FAcceptor.async_accept(FIo, [this](beast::error_code ec, tcp::socket socket) {
        if (ec == asio::error::operation_aborted)
            return;
        if (!ec) {
            if (*FConnections >= FLimits.maxConnections) {
                beast::error_code ignored;
                socket.close(ignored);
            } else {
                std::make_shared<Session>(std::move(socket), *FService, FLimits, FConnections)
                    ->Run();
            }
        }
        Accept();
    });
}

}  // namespace korvalo::demo
