#pragma once
// The activity log as the rest of Korvalo sees it: append a line, empty it, read its length.

#include <cstddef>
#include <string>

namespace korvalo {

// Receives activity-log lines from any thread. The main window implements it by handing the
// work to the UI thread and waiting until it is done; tests record the lines.
class ILogSink {
public:
    virtual ~ILogSink() = default;
    // Appends text as a new line (text with CR LF shows as several lines).
    virtual void PrintInfo(const std::string& text) = 0;
    // Empties the log.
    virtual void ClearInfo() = 0;
    // Characters of log text now; safe to call from any thread.
    virtual std::size_t LogLength() const = 0;
};

}  // namespace korvalo
