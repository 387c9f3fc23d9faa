#include "services/endpoint/answer_pages.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "core/text.h"

#include "services/endpoint/dispatcher.h"
#include "support/endpoint_doubles.h"
#include "support/files.h"

namespace korvalo {
namespace {

using testing::ReadBytes;
using testing::RecordingLog;
using testing::RecordingNotifier;

std::string PageFor(const std::string& inScript, const std::string& inLink) {
    return "<html><head><meta http-equiv=\"Content-Type\" content=\"text/html; "
           "charset=windows-1251\"><script type=\"text/javascript\">window.onload = "
           "function(){window.location.href=\"" +
           inScript +
           "\";}</script></head><body>\r\nЕсли\tВаш браузер не поддерживает перенаправление, "
           "нажмите <a href=\"" +
           inLink + "\">здесь</a>, чтобы перейти на нужную страницу.\r\n</body></html>";
}

TEST(RedirectPage, OrdinaryAddressesAppendUnchanged) {
    const std::vector<std::string> urls = {
        "http://site.example/back?x=1&y=%20z#frag",
        "https://a-b.c:8443/p;q/r.s_t~u!$()*+,=@[]{}|^`",
        "B",
        "",
    };
    for (const std::string& url : urls)
        EXPECT_EQ(RedirectPage(url), PageFor(url, url)) << url;
}

TEST(RedirectPage, AddressCannotLeaveTheScriptStringOrTheLink) {
    struct Case {
        std::string url, inScript, inLink;
    };
    const std::vector<Case> cases = {
        {"a\"b", "a\\\"b", "a&quot;b"},
        {"x</script><script>alert(1)</script>",
         "x\\u003C/script\\u003E\\u003Cscript\\u003Ealert(1)\\u003C/script\\u003E",
         "x&lt;/script&gt;&lt;script&gt;alert(1)&lt;/script&gt;"},
        {"a'b\\c", "a\\'b\\\\c", "a&#39;b\\c"},
        {"a\r\nb", "a\\r\\nb", "a\r\nb"},
        // Characters the single-byte code page lacks become "?"; Cyrillic stays.
        {"http://сайт/日本", "http://сайт/??", "http://сайт/??"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(RedirectPage(c.url), PageFor(c.inScript, c.inLink)) << c.url;
    EXPECT_EQ(EscapeForScriptString("\xE2\x80\xA8\xE2\x80\xA9"), "\\u2028\\u2029");
}

TEST(BusyPage, ExactMarkup) {
    EXPECT_EQ(BusyPage("2.2.1.6"),
              "<html><meta charset=\"utf-8\"><body><script>setTimeout(() => history.back(), "
              "5000);</script><body><div style=\"display: flex; flex-direction: column; "
              "align-items: center; margin-top: 48px\"><h2>Korvalo v.2.2.1.6</h2><h3 "
              "style=\"color: red;\">Завершите предыдущую процедуру подписи или отмените "
              "ее</h3><div><div></body><html>");
}

TEST(WrapSignature, LinesOf64) {
    const std::string a64(64, 'A'), b36(36, 'B');
    struct Case {
        std::string in, out;
    };
    const std::vector<Case> cases = {
        {a64 + b36, a64 + "\r\n" + b36 + "\r\n"},  // 100 characters
        {a64, a64 + "\r\n"},
        {a64 + a64, a64 + "\r\n" + a64 + "\r\n"},
        {"", ""},
        {"abcd", "abcd\r\n"},
        // Lengths one above a multiple of 64 keep every character.
        {"x", "x\r\n"},
        {a64 + "x", a64 + "\r\nx\r\n"},
        {a64 + a64 + "x", a64 + "\r\n" + a64 + "\r\nx\r\n"},
        // A text that already holds CR LF is left as it is.
        {"ab\r\ncd", "ab\r\ncd"},
        {a64 + b36 + "\r\n", a64 + b36 + "\r\n"},
        // A lone LF does not count.
        {"ab\ncd", "ab\ncd\r\n"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(WrapSignature(c.in), c.out) << c.in.size();
}

class SendRedirectPageTest : public ::testing::Test {
protected:
    void SetUp() override { file_ = std::make_shared<TMyFile>((dir_ / "request.txt").string()); }

    RedirectServices Services(bool debug) {
        return RedirectServices{log_, notifier_, file_, debug, "1.2.3.4"};
    }

    testing::TempDir temp_;
    const std::filesystem::path dir_ = temp_.path();
    std::shared_ptr<TMyFile> file_;
    RecordingLog log_;
    RecordingNotifier notifier_;
};

TEST_F(SendRedirectPageTest, EmptyAddressGivesOkWithoutLog) {
    HttpResponseInfo response;
    SendRedirectPage(response, "", Services(true));
    EXPECT_EQ(response.status, 200);
    EXPECT_EQ(response.body, "OK");
    EXPECT_EQ(response.server, "");
    EXPECT_TRUE(log_.Lines().empty());
    EXPECT_TRUE(notifier_.Balloons().empty());
    EXPECT_EQ(ReadBytes(file_->FileName()), "");
}

TEST_F(SendRedirectPageTest, PageRecordBalloonAndLogLine) {
    HttpResponseInfo response;
    SendRedirectPage(response, "http://b/ы", Services(true));
    EXPECT_EQ(response.status, 200);
    EXPECT_EQ(response.server, "Korvalo Version 1.2.3.4");
    EXPECT_EQ(response.contentType, "text/html");
    EXPECT_EQ(response.charSet, "windows-1251");
    EXPECT_EQ(response.location, "");
    EXPECT_TRUE(response.extraHeaders.empty());
    EXPECT_EQ(response.body, RedirectPage("http://b/ы"));
    EXPECT_EQ(notifier_.Balloons(), std::vector<std::string>{"Перенаправление на http://b/ы"});
    EXPECT_EQ(log_.Texts(), std::vector<std::string>{" ---> Перенаправление на http://b/ы"});
    const std::string record = ReadBytes(file_->FileName());
    const std::string page = ToCp1251(response.body);
    ASSERT_GT(record.size(), page.size());
    EXPECT_EQ(record.substr(0, 4), "*--*");
    EXPECT_NE(
        record.find(" size: " + std::to_string(CharCount(response.body)) + "\r\n" + page + "\r\n"),
        std::string::npos);

    // Without debug nothing is recorded.
    HttpResponseInfo second;
    SendRedirectPage(second, "http://c/", Services(false));
    EXPECT_EQ(ReadBytes(file_->FileName()), record);
}

TEST_F(SendRedirectPageTest, FailureIsLoggedAndAnswerKeepsWhatWasSet) {
    std::filesystem::remove_all(dir_);  // the protocol file cannot be appended to any more
    HttpResponseInfo response;
    SendRedirectPage(response, "http://b/", Services(true));
    EXPECT_EQ(response.body, RedirectPage("http://b/"));
    ASSERT_EQ(log_.Texts().size(), 1u);
    EXPECT_TRUE(log_.Texts()[0].starts_with(" ---> Ошибка отправки. ")) << log_.Texts()[0];
    EXPECT_TRUE(notifier_.Balloons().empty());
}

}  // namespace
}  // namespace korvalo
