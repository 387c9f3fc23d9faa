#pragma once
// The demo service's HTTP server on Boost.Beast: one thread, asynchronous connections with
// time-outs, a limit on the body size, "Expect: 100-continue" honoured, keep-alive.

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <chrono>
#include <cstdint>
#include <memory>

#include "demo_service.h"

namespace korvalo::demo {

struct ServerLimits {
    std::uint64_t maxBodyBytes = 64ull << 20;
    std::uint32_t maxHeaderBytes = 16 * 1024;
    std::chrono::seconds timeout{60};  // for each read or write
    std::size_t maxConnections = 256;
};

class HttpServer {
public:
    // Binds and listens at once; throws boost::system::system_error when it cannot.
    HttpServer(boost::asio::io_context& io, const boost::asio::ip::tcp::endpoint& endpoint,
               ServerLimits limits);
    unsigned short Port() const;

    // Starts accepting connections; service must outlive the io_context's run.
    void Start(DemoService& service);

private:
    void Accept();

    boost::asio::io_context& FIo;
    boost::asio::ip::tcp::acceptor FAcceptor;
    ServerLimits FLimits;
    DemoService* FService = nullptr;
    std::shared_ptr<std::size_t> FConnections = std::make_shared<std::size_t>(0);
};

}  // namespace korvalo::demo
