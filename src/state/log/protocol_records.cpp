#include "state/log/protocol_records.h"

#include "core/text.h"

namespace korvalo {

namespace {

constexpr const char* kCrLf = "\r\n";

std::string Record(const char* mark, const std::string& body, std::size_t size,
                   Clock::time_point when) {
    return std::string(mark) + TimeStamp(when) + " size: " + std::to_string(size) + kCrLf + body +
           kCrLf;
}

std::string Lines(const std::vector<std::string>& lines) {
    std::string out;
    for (const std::string& line : lines) {
        out += line;
        out += kCrLf;
    }
    return out;
}

}  // namespace

std::string RequestRecord(const std::string& requestLine,
                          const std::vector<std::string>& headerLines,
                          const std::vector<std::string>& paramLines, Clock::time_point when) {
    std::string body =
        requestLine + kCrLf + Lines(headerLines) + kCrLf + UrlEncodeForm(Lines(paramLines)) + kCrLf;
    const std::size_t size = CharCount(body);
    return Record("*** ", body, size, when);
}

std::string AnswerRecord(const std::vector<std::string>& headLines, const std::string& page,
                         Clock::time_point when) {
    const std::string head = Lines(headLines);
    const std::size_t size = CharCount(head) + CharCount(page);
    return Record("*--* ", head + kCrLf + page, size, when);
}

std::string RedirectRecord(const std::string& page, Clock::time_point when) {
    return Record("*--* ", page, CharCount(page), when);
}

}  // namespace korvalo
