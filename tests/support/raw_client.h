#pragma once
// A raw-socket HTTP client for the endpoint tests: send exact bytes, read until the server
// closes, compare the bytes received.

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace korvalo::testing {

// One TCP connection to host:port (a numeric IPv4 or IPv6 address).
class RawConnection {
public:
    RawConnection(const std::string& host, std::uint16_t port);
    ~RawConnection();
    RawConnection(const RawConnection&) = delete;
    RawConnection& operator=(const RawConnection&) = delete;

    void Send(std::string_view bytes);
    // Ends the sending side (the server sees end of stream).
    void HalfClose();
    // Reads until the server closes the connection or the time-out passes; timedOut tells
    // which happened.
    std::string ReadAll(std::chrono::milliseconds timeout = std::chrono::seconds(20),
                        bool* timedOut = nullptr);
    // Reads until at least n bytes have arrived, the server closes, or the time-out passes.
    std::string ReadAtLeast(std::size_t n,
                            std::chrono::milliseconds timeout = std::chrono::seconds(20));
    // True when the server has closed the connection within the time-out (reads and discards
    // whatever arrives).
    bool WaitClosed(std::chrono::milliseconds timeout);

private:
    std::string Read(std::size_t atLeast, std::chrono::milliseconds timeout, bool* timedOut);

    int fd_ = -1;
};

// Connects, sends request, reads the whole answer until the server closes.
std::string Exchange(std::uint16_t port, std::string_view request,
                     const std::string& host = "127.0.0.1");

// The parts of a raw answer.
struct RawAnswer {
    std::string head;  // up to and including the empty line
    std::string body;
};
RawAnswer SplitAnswer(const std::string& raw);

}  // namespace korvalo::testing
