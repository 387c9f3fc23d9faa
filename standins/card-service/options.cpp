#include "options.h"

#include <charconv>
#include <stdexcept>

namespace korvalo::cardservice {

namespace {

long ParseNumber(const std::string& option, const std::string& text, long low, long high) {
    long value = 0;
    const char* end = text.data() + text.size();
    const auto parsed = std::from_chars(text.data(), end, value);
    if (text.empty() || parsed.ec != std::errc() || parsed.ptr != end || value < low ||
        value > high)
        throw std::invalid_argument(option + " needs a number from " + std::to_string(low) +
                                    " to " + std::to_string(high) + ", got \"" + text + "\"");
    return value;
}

void SetShape(ServiceOptions& options, AnswerShape shape, const std::string& option) {
    if (options.shape != AnswerShape::Signature && options.shape != shape)
        throw std::invalid_argument(option + " cannot be combined with another answer mode");
    options.shape = shape;
}

}  // namespace

ServiceOptions ParseOptions(const std::vector<std::string>& args) {
    ServiceOptions options;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        auto value = [&]() -> const std::string& {
            if (i + 1 >= args.size())
                throw std::invalid_argument(arg + " needs a value");
            return args[++i];
        };
        if (arg == "--help" || arg == "-h") {
            options.help = true;
        } else if (arg == "--port") {
            options.port = static_cast<unsigned short>(ParseNumber(arg, value(), 0, 65535));
        } else if (arg == "--cert") {
            options.certFile = value();
        } else if (arg == "--key") {
            options.keyFile = value();
        } else if (arg == "--key-pass") {
            options.keyPassword = value();
        } else if (arg == "--engine") {
            options.engine = value();
        } else if (arg == "--log") {
            options.logFile = value();
        } else if (arg == "--status") {
            options.status = static_cast<int>(ParseNumber(arg, value(), 100, 999));
        } else if (arg == "--error") {
            SetShape(options, AnswerShape::ErrorOnly, arg);
            options.errorCode = value();
        } else if (arg == "--body") {
            SetShape(options, AnswerShape::Body, arg);
            options.body = value();
        } else if (arg == "--garbage") {
            SetShape(options, AnswerShape::Garbage, arg);
        } else if (arg == "--array") {
            SetShape(options, AnswerShape::Array, arg);
        } else if (arg == "--empty") {
            SetShape(options, AnswerShape::Empty, arg);
        } else if (arg == "--not-http") {
            SetShape(options, AnswerShape::NotHttp, arg);
        } else if (arg == "--hang") {
            SetShape(options, AnswerShape::Hang, arg);
        } else if (arg == "--fail-on-call") {
            options.failOnCalls.insert(ParseNumber(arg, value(), 1, 1L << 30));
        } else {
            throw std::invalid_argument("unknown option " + arg);
        }
    }
    if (options.certFile.empty() != options.keyFile.empty())
        throw std::invalid_argument("--cert and --key go together");
    if (!options.failOnCalls.empty() && options.shape == AnswerShape::Signature && !options.status)
        throw std::invalid_argument("--fail-on-call needs a failure mode to apply");
    return options;
}

std::string UsageText() {
    return R"(Usage: korvalo-card-service [options]
Stands in for the ID-card middleware: answers POST /sign_kta_cms on 127.0.0.1 with a detached
CMS signature made with a key file.

  --port N            port to listen on (default 8084; 0 picks a free one)
  --cert FILE         PEM certificate of the card
  --key FILE          PEM private key of the card (with --cert)
  --key-pass TEXT     password of an encrypted key
  --engine ID         OpenSSL engine to load for the key ("gost" for GOST keys)
  --log FILE          append every request received as one JSON line
Failure modes (for every sign request, or only for those named by --fail-on-call):
  --status N          answer with HTTP status N
  --error CODE        answer {"error":"CODE"} (status 500 unless --status)
  --body TEXT         answer TEXT as it stands (status 200 unless --status)
  --garbage           answer a text that is not JSON
  --array             answer a JSON array
  --empty             answer an empty body
  --not-http          answer a line that is not HTTP and close
  --hang              never answer
  --fail-on-call K    apply the failure mode only to the K-th sign request (repeatable)
)";
}

}  // namespace korvalo::cardservice
