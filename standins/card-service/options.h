#pragma once
// Command line of the card-service stand-in: where to listen, what to sign with and how to
// misbehave for tests.

#include <optional>
#include <set>
#include <string>
#include <vector>

namespace korvalo::cardservice {

// How a sign request is answered when a failure mode applies to it.
enum class AnswerShape {
    Signature,  // the normal answer: error and, on success, sig
    ErrorOnly,  // {"error": CODE} without sig
    Body,       // a given body text as it stands
    Garbage,    // a text that is not JSON
    Array,      // a JSON array instead of an object
    Empty,      // no body at all
    NotHttp,    // a raw line that is not an HTTP answer, then the connection closes
    Hang,       // no answer; the connection stays open until the client leaves
};

struct ServiceOptions {
    unsigned short port = 8084;  // 0 picks a free port
    std::string certFile;        // PEM certificate of the "card"
    std::string keyFile;         // PEM private key of the "card"
    std::string keyPassword;     // for an encrypted key
    std::string engine;          // OpenSSL engine to load first ("gost" for GOST keys)
    std::string logFile;         // every request received, one JSON line each

    AnswerShape shape = AnswerShape::Signature;
    std::string errorCode;       // ErrorOnly
    std::string body;            // Body
    std::optional<int> status;   // HTTP status forced on the failing answers
    std::set<long> failOnCalls;  // 1-based sign calls the failure mode applies to; empty: all
    bool help = false;
};

// Throws std::invalid_argument with a message for an unknown or malformed option.
ServiceOptions ParseOptions(const std::vector<std::string>& args);

// The text printed for --help.
std::string UsageText();

}  // namespace korvalo::cardservice
