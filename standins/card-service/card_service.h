#pragma once
// The card-service stand-in's request handling and its HTTP server on the loopback interface.

#include <atomic>
#include <fstream>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>

#include "card_key.h"
#include "options.h"

namespace korvalo::cardservice {

// What one request gets.
struct Answer {
    enum class Kind { Http, NotHttp, Hang };
    Kind kind = Kind::Http;
    int status = 200;
    std::string contentType = "application/json; charset=utf-8";
    std::string body;
};

// Appends every request received and its answer to a file as one JSON line: method, target,
// contentType, body, then status and answer (the answer's body), or hang or notHttp. Bytes that
// are not UTF-8 are replaced. Safe to call from many threads.
class RequestLog {
public:
    explicit RequestLog(const std::string& file);  // empty: logs nothing
    void Write(const std::string& method, const std::string& target, const std::string& contentType,
               const std::string& body, const Answer& answer);

private:
    std::mutex FLock;
    std::ofstream FOut;
};

// Decides the answer to each request. Safe to call from many threads.
class CardService {
public:
    explicit CardService(ServiceOptions options);

    Answer Handle(const std::string& method, const std::string& target,
                  const std::string& contentType, const std::string& body);

private:
    Answer Decide(const std::string& method, const std::string& target, const std::string& body);
    Answer SignAnswer(const std::string& body);
    Answer FailureAnswer(const std::string& body);

    ServiceOptions FOptions;
    std::unique_ptr<CryptoEngine> FEngine;  // what the key's algorithm needs, when named
    std::unique_ptr<CardKey> FKey;          // none: no card in the reader
    std::mutex FCardLock;                   // one signature at a time, as a card makes them
    std::atomic<long> FCalls{0};
    RequestLog FLog;
};

// Listens on 127.0.0.1:port, writes "listening on 127.0.0.1:N" and a line break to announce
// once the port is open, and serves every connection on a thread of its own; one request per
// connection. Returns only when the port cannot be opened (throws).
void Serve(CardService& service, unsigned short port, std::ostream& announce);

}  // namespace korvalo::cardservice
