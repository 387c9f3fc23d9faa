#pragma once
// One connection of the endpoint: its request is read on an I/O thread, served there when its
// answer waits for nothing or else on a handler thread, and its answer sent before the
// connection closes.

#include <boost/asio/ip/tcp.hpp>

#include <memory>
#include <string>

#include "services/endpoint/handler_pool.h"
#include "services/endpoint/http_server.h"

namespace korvalo {

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

// Starts serving the connection of socket; the session keeps itself alive until it closes.
void StartSession(EndpointServerCore& server, boost::asio::ip::tcp::socket socket);

}  // namespace korvalo
