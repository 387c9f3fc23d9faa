#include "options.h"

#include <charconv>
#include <stdexcept>

namespace korvalo::demo {

namespace {

std::uint64_t ParseNumber(const std::string& option, const std::string& text, std::uint64_t max) {
    std::uint64_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || text.empty() || value > max)
        throw std::invalid_argument(option + " needs a number up to " + std::to_string(max) +
                                    ", not \"" + text + "\"");
    return value;
}

}  // namespace

DemoOptions ParseOptions(const std::vector<std::string>& args) {
    DemoOptions options;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        const auto value = [&]() -> const std::string& {
            if (i + 1 >= args.size())
                throw std::invalid_argument(arg + " needs a value");
            return args[++i];
        };
        if (arg == "--help" || arg == "-h") {
            options.help = true;
        } else if (arg == "--port") {
            options.port = static_cast<unsigned short>(ParseNumber(arg, value(), 65535));
        } else if (arg == "--korvalo") {
            options.korvaloUrl = value();
            if (options.korvaloUrl.rfind("http://", 0) != 0 &&
                options.korvaloUrl.rfind("https://", 0) != 0)
                throw std::invalid_argument("--korvalo needs an http:// or https:// address");
        } else if (arg == "--ca") {
            options.caFile = value();
        } else if (arg == "--data") {
            options.dataDir = value();
        } else if (arg == "--max-body") {
            options.maxBodyBytes = ParseNumber(arg, value(), 1ull << 34);
        } else {
            throw std::invalid_argument("unknown option " + arg);
        }
    }
    return options;
}

std::string UsageText() {
    return "usage: korvalo-demo-service [options]\n"
           "A demo online service on 127.0.0.1: its page asks Korvalo for signatures, it\n"
           "receives the uploads and verifies them with OpenSSL.\n"
           "  --port N        port to listen on (default 48080; 0 picks a free one)\n"
           "  --korvalo URL   Korvalo's endpoint (default http://127.0.0.1:48051/)\n"
           "  --ca FILE       PEM file of the demo CA that signer certificates must chain to\n"
           "  --data DIR      keep every received upload and its report in this folder\n"
           "  --max-body N    largest request body in bytes (default 67108864)\n"
           "  --help          this text\n"
           "Pages: / (the four signing actions), /result?req=ID, /results.json[?req=ID].\n";
}

}  // namespace korvalo::demo
