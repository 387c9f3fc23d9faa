#pragma once
// Local-time texts: the log's "hh:nn:ss" stamp and the temporary file stem.

#include <chrono>
#include <string>

namespace korvalo {

using Clock = std::chrono::system_clock;

// "hh:nn:ss": hours 00-23, minutes and seconds, two digits each.
std::string TimeStamp(Clock::time_point when = Clock::now());

// A log line: time stamp, " ---> ", text.
std::string LogLine(std::string_view text, Clock::time_point when = Clock::now());

// Year, month, day, "_", hour, minute, second, each decimal without leading zeros
// (5 March 2024, 09:07:08 gives "202435_978").
std::string TempFileStem(Clock::time_point when = Clock::now());

// Milliseconds elapsed since the last local midnight.
long long MillisecondsSinceLocalMidnight(Clock::time_point when = Clock::now());

}  // namespace korvalo
