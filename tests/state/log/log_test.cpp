#include <gtest/gtest.h>

#include <regex>
#include <thread>

#include "state/log/log_lines.h"
#include "state/log/log_model.h"

namespace korvalo {
namespace {

// A log sink over the model, as the window implements it minus the thread hand-over.
class ModelSink : public ILogSink {
public:
    void PrintInfo(const std::string& text) override { model.AppendLine(text); }
    void ClearInfo() override { model.Clear(); }
    std::size_t LogLength() const override { return model.Length(); }
    LogModel model;
};

TEST(LogLines, FixedShapes) {
    const std::string t = R"(\d\d:\d\d:\d\d)";
    const struct {
        std::string line;
        std::string pattern;
    } cases[] = {
        {loglines::PostAdmitted(-1),
         t + " ---> SS1: установлено соединение\r\n" + t + " ---> Контент принят ---> -1"},
        {loglines::PostAdmitted(12345678901),
         t + " ---> SS1: установлено соединение\r\n" + t + " ---> Контент принят ---> 12345678901"},
        {loglines::CommandOther(), t + R"( --->\*\*\* HTTPServer1CommandOther)"},
        {loglines::ConnectionException("boom"), t + R"( ---> \*\*\* HTTPServer1Exception: boom)"},
        {loglines::HandlerError("x"), t + " ---> SS1 ошибка. x"},
        {loglines::TempFolder("/tmp/Korvalo/"), t + " ---> Temp: /tmp/Korvalo/"},
        {loglines::RedirectedTo("http://b"), t + " ---> Перенаправление на http://b"},
        {loglines::AlreadyExists(), "ERROR_ALREADY_EXISTS"},
    };
    for (const auto& c : cases) {
        EXPECT_TRUE(std::regex_match(c.line, std::regex(c.pattern))) << c.line;
    }
}

TEST(LogModel, CountsCharactersAndLinesFromAnyThread) {
    LogModel model;
    model.AppendLine("дом");
    model.AppendLine("a\r\nb");
    EXPECT_EQ(model.Lines(), (std::vector<std::string>{"дом", "a", "b"}));
    EXPECT_EQ(model.Length(), 5u + 3u + 3u);
    EXPECT_EQ(model.Text(), "дом\r\na\r\nb\r\n");

    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&model] {
            for (int i = 0; i < 500; ++i)
                model.AppendLine("line");
        });
    }
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(model.Lines().size(), 3u + 4000u);
    EXPECT_EQ(model.Length(), 11u + 4000u * 6u);
}

TEST(LogLimit, OnlyALogLongerThanTheLimitIsEmptied) {
    ModelSink sink;
    sink.PrintInfo(std::string(kLogSizeLimit - 2, 'x'));  // exactly the limit with CR LF
    EnforceLogLimit(sink);
    EXPECT_EQ(sink.LogLength(), kLogSizeLimit);
    sink.PrintInfo("");  // 10242 characters now
    EnforceLogLimit(sink);
    EXPECT_EQ(sink.LogLength(), 0u);
    EXPECT_TRUE(sink.model.Lines().empty());
}

}  // namespace
}  // namespace korvalo
