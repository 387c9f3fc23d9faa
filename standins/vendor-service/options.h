#pragma once
// Command line of the stand-in of the maker's services: where to listen, which catalog to
// serve, how to write the answers, and how to misbehave for tests.

#include <optional>
#include <set>
#include <string>
#include <vector>

namespace korvalo::vendorservice {

// How a SOAP request is answered when a failure mode applies to it.
enum class FailureMode {
    None,     // the service's answer
    Status,   // an HTML page with the given HTTP status
    Refuse,   // the operation refuses with a message (result false / iErrCode 1)
    Fault,    // a SOAP fault with the given fault string
    Garbage,  // an answer that is not SOAP
    Hang,     // no answer; the connection stays open until the client leaves
    Reset,    // the connection is reset once the request has been read
    Slow,     // the service's answer, sent after a delay
};

// The version of the XML Schema namespaces the answers are typed with.
enum class SchemaVersion { v1999, v2000, v2001 };

struct ServiceOptions {
    unsigned short port = 0;  // set from the built-in endpoint list unless --port is given
    bool printDefaultPort = false;
    std::string configFile;  // empty: the built-in catalog
    std::string logFile;
    SchemaVersion schema = SchemaVersion::v2001;
    bool multiRef = false;  // values as multi-reference elements (href/id)
    bool crlf = false;      // lines of Menu and Paths ended by CR LF

    FailureMode failure = FailureMode::None;
    int status = 0;              // Status
    std::string text;            // Refuse, Fault
    int delayMs = 0;             // Slow
    std::set<long> failOnCalls;  // 1-based SOAP requests the failure applies to; empty: all
    bool help = false;
};

// The port of the first endpoint of Korvalo's built-in default list (80 when it names none).
unsigned short DefaultPort();

// Throws std::invalid_argument with a message for an unknown or malformed option.
ServiceOptions ParseOptions(const std::vector<std::string>& args);

std::string UsageText();

}  // namespace korvalo::vendorservice
