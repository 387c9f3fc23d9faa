#include "standin_http.h"

#include <boost/asio/ip/v6_only.hpp>
#include <boost/beast/core/flat_buffer.hpp>

#include <chrono>
#include <exception>
#include <iostream>
#include <thread>

namespace korvalo::standin {

namespace asio = boost::asio;
namespace http = boost::beast::http;
using tcp = asio::ip::tcp;

void OpenListener(tcp::acceptor& acceptor, const tcp::endpoint& endpoint) {
    acceptor.open(endpoint.protocol());
    acceptor.set_option(asio::socket_base::reuse_address(true));
    if (endpoint.protocol() == tcp::v6())
        acceptor.set_option(asio::ip::v6_only(true));
    acceptor.bind(endpoint);
    acceptor.listen();
}

void AcceptForever(tcp::acceptor& acceptor, const char* program,
                   const std::function<void(tcp::socket)>& serve) {
    for (;;) {
        tcp::socket socket(acceptor.get_executor());
        boost::system::error_code ec;
        acceptor.accept(socket, ec);
        if (ec) {
            std::cerr << program << ": accept: " << ec.message() << std::endl;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            continue;
        }
        std::thread([serve, program, s = std::move(socket)]() mutable {
            try {
                serve(std::move(s));
            } catch (const std::exception& e) {
                std::cerr << program << ": " << e.what() << std::endl;
            }
        }).detach();
    }
}

std::optional<Request> ReadRequest(tcp::socket& socket, std::size_t maxBody) {
    boost::system::error_code ec;
    boost::beast::flat_buffer buffer;
    http::request_parser<http::string_body> parser;
    parser.body_limit(maxBody);
    http::read(socket, buffer, parser, ec);
    if (ec == http::error::body_limit) {
        http::response<http::string_body> tooLarge{http::status::payload_too_large, 11};
        tooLarge.keep_alive(false);
        tooLarge.prepare_payload();
        http::write(socket, tooLarge, ec);
        return std::nullopt;
    }
    if (ec)
        return std::nullopt;
    return parser.release();
}

void WriteAnswer(tcp::socket& socket, unsigned version, int status, const char* server,
                 const std::string& contentType, const std::string& body) {
    http::response<http::string_body> response;
    response.version(version);
    response.result(static_cast<unsigned>(status));
    response.set(http::field::server, server);
    response.set(http::field::content_type, contentType);
    response.keep_alive(false);
    response.body() = body;
    response.prepare_payload();
    boost::system::error_code ec;
    http::write(socket, response, ec);
    socket.shutdown(tcp::socket::shutdown_send, ec);
}

void HangUntilTheClientGivesUp(tcp::socket& socket) {
    boost::system::error_code ec;
    char byte;
    while (!ec)
        socket.read_some(asio::buffer(&byte, 1), ec);
}

}  // namespace korvalo::standin
