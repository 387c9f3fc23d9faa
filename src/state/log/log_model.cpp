#include "state/log/log_model.h"

#include "core/text.h"

namespace korvalo {

void LogModel::AppendLine(const std::string& text) {
    std::vector<std::string> added = SplitLines(text);
    if (added.empty())
        added.emplace_back();
    std::lock_guard lock(mutex_);
    for (std::string& line : added) {
        length_ += CharCount(line) + 2;
        lines_.push_back(std::move(line));
    }
}

void LogModel::Clear() {
    std::lock_guard lock(mutex_);
    lines_.clear();
    length_ = 0;
}

std::vector<std::string> LogModel::Lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
}

std::string LogModel::Text() const {
    std::lock_guard lock(mutex_);
    std::string text;
    for (const std::string& line : lines_) {
        text += line;
        text += "\r\n";
    }
    return text;
}

void EnforceLogLimit(ILogSink& log) {
    if (log.LogLength() > kLogSizeLimit)
        log.ClearInfo();
}

}  // namespace korvalo
