#pragma once
// Points in time given as a local date and time of day, as the program's time stamps show them.

#include <chrono>
#include <ctime>

namespace korvalo::testing {

// The moment of that local date and time (the machine's time zone).
inline std::chrono::system_clock::time_point LocalTime(int year, int month, int day, int hour,
                                                       int minute, int second) {
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    tm.tm_isdst = -1;
    return std::chrono::system_clock::from_time_t(std::mktime(&tm));
}

}  // namespace korvalo::testing
