#pragma once
// The maker's services as one program: IPathLoaderSrv.GetDllPathAndMenu and the four
// operations of IUpdateSrv, over SOAP 1.1 in RPC style with section 5 encoding, answered from
// a catalog, with failure modes for tests.

#include <atomic>
#include <fstream>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>

#include "catalog.h"
#include "options.h"

namespace korvalo::vendorservice {

// What the service does with one request.
struct Answer {
    enum class Kind { Http, Hang, Reset };
    Kind kind = Kind::Http;
    int status = 200;
    std::string contentType = "text/xml; charset=utf-8";
    std::string body;
};

// One request as the service saw it.
struct Request {
    std::string method;
    std::string target;
    std::string soapAction;
    std::string contentType;
    std::string body;
};

// Appends one JSON line per request to a file (nothing when no file is named).
class RequestLog {
public:
    explicit RequestLog(const std::string& file);
    void Write(const Request& request, const Answer& answer);

private:
    std::mutex lock_;
    std::ofstream out_;
};

class VendorService {
public:
    VendorService(ServiceOptions options, Catalog catalog);

    // Decides the answer and logs the exchange. Safe to call from several threads.
    Answer Handle(const Request& request);

private:
    Answer Decide(const Request& request);
    Answer Failure();

    ServiceOptions options_;
    Catalog catalog_;
    RequestLog log_;
    std::atomic<long> calls_{0};
};

// The listening sockets: 127.0.0.1:port and, when the system has IPv6, [::1] on the same port.
class Listener {
public:
    // Opens the port (0 picks a free one); throws when it cannot.
    explicit Listener(unsigned short port);
    ~Listener();
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    unsigned short Port() const { return port_; }
    bool HasIpv6() const;
    // Serves each connection on a thread of its own, one request per connection, until the
    // process ends.
    [[noreturn]] void Run(VendorService& service);

private:
    struct Sockets;
    std::unique_ptr<Sockets> sockets_;
    unsigned short port_ = 0;
};

// The service's own base address for a port: "http://127.0.0.1:N".
std::string SelfAddress(unsigned short port);

}  // namespace korvalo::vendorservice
