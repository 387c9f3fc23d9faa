#include "services/endpoint/http_server.h"

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>

#include <atomic>
#include <system_error>
#include <thread>
#include <vector>

#include "services/endpoint/handler_pool.h"
#include "services/endpoint/http_session.h"

namespace korvalo {

namespace net = boost::asio;
namespace beast = boost::beast;
using tcp = net::ip::tcp;

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
            StartSession(*this, std::move(socket));
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
        v4->bind(tcp::endpoint(options.listenAllInterfaces ? net::ip::address_v4::any()
                                                           : net::ip::address_v4::loopback(),
                               options.port));
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
        const net::ip::address_v6 v6Address = options.listenAllInterfaces
                                                  ? net::ip::address_v6::any()
                                                  : net::ip::address_v6::loopback();
        const std::string v6Text = "[" + v6Address.to_string() + "]:" + std::to_string(port);
        v6->bind(tcp::endpoint(v6Address, port), ec);
        if (ec == net::error::address_in_use) {
            if (options.port == 0 && attempt < kAttempts)
                continue;  // the chosen port is taken on IPv6: choose another
            throw std::system_error(ec, "cannot listen on " + v6Text);
        }
        if (ec)
            return;  // IPv6 present but not usable (no such address configured)
        v6->listen(net::socket_base::max_listen_connections, ec);
        if (ec)
            throw std::system_error(ec, "cannot listen on " + v6Text);
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

std::vector<std::string> HttpServer::ListenAddresses() const {
    std::vector<std::string> addresses;
    if (!impl_->active)
        return addresses;
    for (const auto& acceptor : impl_->acceptors) {
        beast::error_code ec;
        const tcp::endpoint local = acceptor->local_endpoint(ec);
        if (ec)
            continue;
        const std::string host = local.address().to_string();
        addresses.push_back((local.address().is_v6() ? "[" + host + "]" : host) + ":" +
                            std::to_string(local.port()));
    }
    return addresses;
}

std::size_t HttpServer::HandlerThreadCount() const {
    return impl_->pool ? impl_->pool->ThreadCount() : 0;
}

}  // namespace korvalo
