#pragma once
// The activity log's text, and the size limit applied when a connection is accepted.

#include <atomic>
#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

#include "core/log_sink.h"

namespace korvalo {

// Characters of log text above which an accepted connection empties the log.
inline constexpr std::size_t kLogSizeLimit = 10240;

// The lines of the log as text lines; each line counts its characters plus CR LF, as a
// multi-line text control counts them. Length() may be read from any thread.
class LogModel {
public:
    // Appends text; a text with line breaks adds several lines.
    void AppendLine(const std::string& text);
    void Clear();
    std::size_t Length() const { return length_.load(); }
    std::vector<std::string> Lines() const;
    // The whole text, lines joined by CR LF.
    std::string Text() const;

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
    std::atomic<std::size_t> length_{0};
};

// What an accepted connection does first: empties the log entirely when its text is longer
// than the limit.
void EnforceLogLimit(ILogSink& log);

}  // namespace korvalo
