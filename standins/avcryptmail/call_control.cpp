#include "call_control.h"

#include <charconv>
#include <cstdlib>
#include <fstream>

namespace korvalo::avcm {

namespace {

bool ParseNumber(std::string_view text, unsigned long long& value) {
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    return ec == std::errc() && end == text.data() + text.size() && !text.empty();
}

std::vector<std::string_view> Split(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    std::size_t pos = 0;
    while (true) {
        const std::size_t next = text.find(separator, pos);
        parts.push_back(text.substr(pos, next == std::string_view::npos ? next : next - pos));
        if (next == std::string_view::npos)
            return parts;
        pos = next + 1;
    }
}

}  // namespace

void CallControl::Refresh() {
    const char* env = std::getenv("AVCRYPTMAIL_FAIL");
    const std::string text = env != nullptr ? env : "";
    if (text == ruleText_)
        return;
    ruleText_ = text;
    rules_.clear();
    counts_.clear();
    for (std::string_view item : Split(text, ',')) {
        const auto parts = Split(item, ':');
        unsigned long long code = 0;
        unsigned long long nth = 0;
        if (parts.size() < 2 || parts.size() > 3 || parts[0].empty() ||
            !ParseNumber(parts[1], code) || code > 0xFFFFFFFFull ||
            (parts.size() == 3 && (!ParseNumber(parts[2], nth) || nth == 0 || nth > 1000000)))
            continue;  // a malformed rule is ignored
        rules_.push_back(
            {std::string(parts[0]), static_cast<AvCmResult>(code), static_cast<unsigned>(nth)});
    }
}

void CallControl::Restart() {
    Refresh();
    counts_.clear();
}

std::optional<AvCmResult> CallControl::Count(std::string_view name) {
    Refresh();
    auto it = counts_.find(name);
    if (it == counts_.end())
        it = counts_.emplace(std::string(name), 0).first;
    const unsigned count = ++it->second;
    for (const Rule& rule : rules_) {
        if (rule.call == name && (rule.nth == 0 || rule.nth == count))
            return rule.code;
    }
    return std::nullopt;
}

void CallControl::Trace(const std::string& line) const {
    const char* path = std::getenv("AVCRYPTMAIL_TRACE");
    if (path == nullptr || *path == '\0')
        return;
    std::ofstream out(path, std::ios::app | std::ios::binary);
    out << line << '\n';
}

}  // namespace korvalo::avcm
