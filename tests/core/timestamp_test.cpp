#include "core/timestamp.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <regex>

#include "support/local_time.h"

namespace korvalo {
namespace {

using testing::LocalTime;

TEST(TimeStamp, TwoDigitsEach) {
    EXPECT_EQ(TimeStamp(LocalTime(2024, 3, 5, 9, 7, 8)), "09:07:08");
    EXPECT_EQ(TimeStamp(LocalTime(2024, 3, 5, 23, 59, 0)), "23:59:00");
    EXPECT_TRUE(std::regex_match(LogLine("x"), std::regex(R"(\d\d:\d\d:\d\d ---> x)")));
}

TEST(TempFileStem, NoLeadingZeros) {
    EXPECT_EQ(TempFileStem(LocalTime(2024, 3, 5, 9, 7, 8)), "202435_978");
    EXPECT_EQ(TempFileStem(LocalTime(2024, 12, 25, 0, 0, 0)), "20241225_000");
}

TEST(MillisecondsSinceMidnight, CountsFromLocalMidnight) {
    const auto t = LocalTime(2024, 3, 5, 1, 0, 2) + std::chrono::milliseconds(345);
    EXPECT_EQ(MillisecondsSinceLocalMidnight(t), 3602345);
}

}  // namespace
}  // namespace korvalo
