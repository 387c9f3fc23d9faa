#include "options.h"

#include <stdexcept>

#include "services/pathloader/vendor_addresses.h"

namespace korvalo::vendorservice {

namespace {

long ParseNumber(const std::string& option, const std::string& text, long low, long high) {
    std::size_t used = 0;
    long value = 0;
    try {
        value = std::stol(text, &used);
    } catch (const std::exception&) {
        used = 0;
    }
    if (used != text.size() || text.empty() || value < low || value > high)
        throw std::invalid_argument(option + " needs a number from " + std::to_string(low) +
                                    " to " + std::to_string(high) + ", not \"" + text + "\"");
    return value;
}

}  // namespace

unsigned short DefaultPort() {
    const std::string url = kDefaultPathLoaderEndpoints.front();
    std::string authority = url.substr(url.find("://") + 3);
    authority = authority.substr(0, authority.find('/'));
    const std::size_t colon = authority.rfind(':');
    if (colon == std::string::npos || authority.back() == ']')
        return 80;
    return static_cast<unsigned short>(std::stoi(authority.substr(colon + 1)));
}

ServiceOptions ParseOptions(const std::vector<std::string>& args) {
    ServiceOptions options;
    options.port = DefaultPort();
    auto setFailure = [&](FailureMode mode, const std::string& option) {
        if (options.failure != FailureMode::None)
            throw std::invalid_argument(option + ": only one failure mode at a time");
        options.failure = mode;
    };
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        auto value = [&]() -> const std::string& {
            if (i + 1 >= args.size())
                throw std::invalid_argument(arg + " needs a value");
            return args[++i];
        };
        if (arg == "--port") {
            options.port = static_cast<unsigned short>(ParseNumber(arg, value(), 0, 65535));
        } else if (arg == "--default-port") {
            options.printDefaultPort = true;
        } else if (arg == "--config") {
            options.configFile = value();
        } else if (arg == "--log") {
            options.logFile = value();
        } else if (arg == "--schema") {
            const std::string& v = value();
            if (v == "1999")
                options.schema = SchemaVersion::v1999;
            else if (v == "2000")
                options.schema = SchemaVersion::v2000;
            else if (v == "2001")
                options.schema = SchemaVersion::v2001;
            else
                throw std::invalid_argument("--schema is 1999, 2000 or 2001, not \"" + v + "\"");
        } else if (arg == "--multiref") {
            options.multiRef = true;
        } else if (arg == "--crlf") {
            options.crlf = true;
        } else if (arg == "--status") {
            setFailure(FailureMode::Status, arg);
            options.status = static_cast<int>(ParseNumber(arg, value(), 100, 999));
        } else if (arg == "--refuse") {
            setFailure(FailureMode::Refuse, arg);
            options.text = value();
        } else if (arg == "--fault") {
            setFailure(FailureMode::Fault, arg);
            options.text = value();
        } else if (arg == "--garbage") {
            setFailure(FailureMode::Garbage, arg);
        } else if (arg == "--hang") {
            setFailure(FailureMode::Hang, arg);
        } else if (arg == "--reset") {
            setFailure(FailureMode::Reset, arg);
        } else if (arg == "--slow") {
            setFailure(FailureMode::Slow, arg);
            options.delayMs = static_cast<int>(ParseNumber(arg, value(), 0, 60000));
        } else if (arg == "--fail-on-call") {
            options.failOnCalls.insert(ParseNumber(arg, value(), 1, 1000000));
        } else if (arg == "--help" || arg == "-h") {
            options.help = true;
        } else {
            throw std::invalid_argument("unknown option " + arg);
        }
    }
    if (!options.failOnCalls.empty() && options.failure == FailureMode::None)
        throw std::invalid_argument("--fail-on-call needs a failure mode");
    return options;
}

std::string UsageText() {
    return "usage: korvalo-vendor-service [options]\n"
           "  --port N            port on 127.0.0.1 and ::1 (default " +
           std::to_string(DefaultPort()) +
           ", the port of Korvalo's built-in endpoints); 0 picks a free one\n"
           "  --default-port      print the default port and end\n"
           "  --config FILE       the catalog of software, menus, versions and links (JSON)\n"
           "  --log FILE          append one JSON line per request\n"
           "  --schema VERSION    type the answers with the XML Schema of 1999, 2000 or 2001\n"
           "  --multiref          send values as multi-reference elements (href/id)\n"
           "  --crlf              end the lines of Menu and Paths with CR LF\n"
           "failure modes (one at most), for every SOAP request or the --fail-on-call ones:\n"
           "  --status N          an HTML page with HTTP status N\n"
           "  --refuse TEXT       the operation refuses with TEXT\n"
           "  --fault TEXT        a SOAP fault with the fault string TEXT\n"
           "  --garbage           an answer that is not SOAP\n"
           "  --hang              no answer at all\n"
           "  --reset             reset the connection once the request is read\n"
           "  --slow MS           the service's answer, after MS milliseconds (up to 60000)\n"
           "  --fail-on-call K    only the K-th SOAP request fails (repeatable)\n";
}

}  // namespace korvalo::vendorservice
