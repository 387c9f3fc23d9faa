#pragma once
// The local signing endpoint as the host owns it: the dispatcher with the server over it.

#include <cstdint>

#include "services/endpoint/dispatcher.h"
#include "services/endpoint/http_server.h"

namespace korvalo {

// Owns the request dispatcher and the HTTP server that calls it; the server is closed (and
// its running handlers have returned) before the dispatcher goes.
class LocalEndpoint {
public:
    explicit LocalEndpoint(DispatcherServices services, EndpointOptions options = {})
        : dispatcher_(std::move(services)), server_(dispatcher_, options) {}

    // Starts listening on port 48051 (or the port of the options). Throws std::system_error
    // when the port cannot be opened, for example because another copy holds it.
    void Open() { server_.Open(); }
    // Stops listening, drops the connections and waits for running handlers to return.
    void Close() { server_.Close(); }
    bool Active() const { return server_.Active(); }
    std::uint16_t Port() const { return server_.Port(); }

    RequestDispatcher& Dispatcher() { return dispatcher_; }

private:
    RequestDispatcher dispatcher_;
    HttpServer server_;
};

}  // namespace korvalo
