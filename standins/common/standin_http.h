#pragma once
// The HTTP side the stand-ins' servers share: one request a connection, read with a size limit
// and answered once, on a listener that serves each connection on a thread of its own.

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/http.hpp>

#include <cstddef>
#include <functional>
#include <optional>
#include <string>

namespace korvalo::standin {

using Request = boost::beast::http::request<boost::beast::http::string_body>;

// Opens, binds (address reuse on; IPv6 only for an IPv6 address) and listens.
void OpenListener(boost::asio::ip::tcp::acceptor& acceptor,
                  const boost::asio::ip::tcp::endpoint& endpoint);

// Accepts connections for ever, each served by `serve` on a detached thread of its own; what
// `serve` throws and failed accepts are written to standard error after the program's name.
[[noreturn]] void AcceptForever(boost::asio::ip::tcp::acceptor& acceptor, const char* program,
                                const std::function<void(boost::asio::ip::tcp::socket)>& serve);

// Reads one request of at most maxBody body bytes; a larger one gets 413 and nullopt, as does
// a connection that breaks off.
std::optional<Request> ReadRequest(boost::asio::ip::tcp::socket& socket, std::size_t maxBody);

// Writes a complete answer with its length and "Connection: close", then ends the sending side.
void WriteAnswer(boost::asio::ip::tcp::socket& socket, unsigned version, int status,
                 const char* server, const std::string& contentType, const std::string& body);

// Sends no answer and keeps reading until the client gives up.
void HangUntilTheClientGivesUp(boost::asio::ip::tcp::socket& socket);

}  // namespace korvalo::standin
