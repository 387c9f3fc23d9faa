#include "core/timestamp.h"

#include <cstdio>
#include <ctime>

namespace korvalo {

namespace {

std::tm Local(Clock::time_point when) {
    const std::time_t t = Clock::to_time_t(when);
    std::tm tm{};
    localtime_r(&t, &tm);
    return tm;
}

}  // namespace

std::string TimeStamp(Clock::time_point when) {
    const std::tm tm = Local(when);
    char buf[16];
    std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", tm.tm_hour, tm.tm_min, tm.tm_sec);
    return buf;
}

std::string LogLine(std::string_view text, Clock::time_point when) {
    std::string line = TimeStamp(when);
    line += " ---> ";
    line += text;
    return line;
}

std::string TempFileStem(Clock::time_point when) {
    const std::tm tm = Local(when);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%d%d%d_%d%d%d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                  tm.tm_hour, tm.tm_min, tm.tm_sec);
    return buf;
}

long long MillisecondsSinceLocalMidnight(Clock::time_point when) {
    const std::tm tm = Local(when);
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch()) % 1000;
    return (static_cast<long long>(tm.tm_hour) * 3600 + tm.tm_min * 60 + tm.tm_sec) * 1000 +
           ms.count();
}

}  // namespace korvalo
