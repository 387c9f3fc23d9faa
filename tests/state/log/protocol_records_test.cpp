#include "state/log/protocol_records.h"

#include <gtest/gtest.h>

#include "support/local_time.h"

namespace korvalo {
namespace {

// That time of day on 5 March 2024.
Clock::time_point At(int h, int m, int s) {
    return testing::LocalTime(2024, 3, 5, h, m, s);
}

TEST(ProtocolRecords, RequestRecordEncodesTheParametersAsOneText) {
    const std::string body =
        "GET /?urlToAnswer=http://a/b HTTP/1.1\r\n"
        "Host: 127.0.0.1:48051\r\n"
        "User-Agent: test\r\n"
        "\r\n"
        "urlToAnswer%3Dhttp%3A%2F%2Fa%2Fb%0D%0Acrpt_message%3D%D0%94%0D%0A\r\n";
    const std::string record = RequestRecord(
        "GET /?urlToAnswer=http://a/b HTTP/1.1", {"Host: 127.0.0.1:48051", "User-Agent: test"},
        {"urlToAnswer=http://a/b", "crpt_message=Д"}, At(9, 7, 8));
    EXPECT_EQ(record, "*** 09:07:08 size: " + std::to_string(body.size()) + "\r\n" + body + "\r\n");
}

TEST(ProtocolRecords, AnswerRecordKeepsNameEqualsValueAndCountsCharacters) {
    const std::vector<std::string> head = {
        "HTTP/1.1 200 OK", "Server: Korvalo Version 1.0.0.0", "Access-Control-Allow-Origin=*",
        "Access-Control-Allow-Methods=POST", "Access-Control-Allow-Headers=Content-Type"};
    const std::string page = "<p>здесь</p>";
    std::string headText;
    for (const auto& line : head)
        headText += line + "\r\n";
    const std::size_t size = headText.size() + 12;  // twelve characters in the page
    EXPECT_EQ(
        AnswerRecord(head, page, At(23, 0, 1)),
        "*--* 23:00:01 size: " + std::to_string(size) + "\r\n" + headText + "\r\n" + page + "\r\n");
    EXPECT_EQ(RedirectRecord(page, At(0, 0, 0)), "*--* 00:00:00 size: 12\r\n" + page + "\r\n");
}

}  // namespace
}  // namespace korvalo
