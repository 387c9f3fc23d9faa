// The demo service's readers: multipart bodies, Korvalo's batch answer, code page 1251,
// serial-number texts and signature layouts.

#include <gtest/gtest.h>

#include "batch_answer.h"
#include "cms_check.h"
#include "codepage.h"
#include "multipart.h"
#include "upload_check.h"

namespace korvalo::demo {
namespace {

const std::string kB = "0123456789abcdef0123456789abcdef";

std::string Part(const std::string& head, const std::string& content) {
    return "--" + kB + "\r\n" + head + "\r\n\r\n" + content + "\r\n";
}

TEST(Multipart, ReadsAnUploadAsKorvaloWritesIt) {
    const std::string signature = "MIIB" + std::string(60, 'A') + "\r\nQUJD\r\n";
    const std::string file = std::string("\r\n--") + "notTheBoundary\r\n\0\xff" + "end";
    const std::string body =
        Part("Content-Disposition: form-data; name=\"urlToAnswer\"", "http%3A%2F%2Fx%2F") +
        Part("Content-Disposition: form-data; name=\"crpt_signature\"", signature) +
        Part(
            "Content-Disposition: form-data; name=\"crpt_file\"; filename=\"a b.htm\"\r\n"
            "Content-Type: application/x-macbinary",
            file) +
        Part("Content-Disposition: form-data; name=\"empty\"; filename=\"\"", "") + "--" + kB +
        "--\r\n";
    const auto parts =
        ParseMultipart(body, MultipartBoundary("multipart/form-data; boundary=" + kB));
    ASSERT_EQ(parts.size(), 4u);
    EXPECT_EQ(parts[0].name, "urlToAnswer");
    EXPECT_EQ(parts[0].content, "http%3A%2F%2Fx%2F");
    EXPECT_FALSE(parts[0].hasFileName);
    EXPECT_EQ(parts[1].content, signature);
    EXPECT_EQ(parts[2].fileName, "a b.htm");
    EXPECT_EQ(parts[2].contentType, "application/x-macbinary");
    EXPECT_EQ(parts[2].content, file);
    EXPECT_TRUE(parts[3].hasFileName);
    EXPECT_EQ(parts[3].content, "");
}

TEST(Multipart, AcceptsQuotedBoundaryPreambleAndEpilogue) {
    EXPECT_EQ(MultipartBoundary("Multipart/Form-Data; charset=utf-8; boundary=\"a'b(c)\""),
              "a'b(c)");
    const std::string body = "preamble\r\n" + Part("content-disposition: form-data; name=x", "1") +
                             "--" + kB + "--\r\nepilogue";
    const auto parts = ParseMultipart(body, kB);
    ASSERT_EQ(parts.size(), 1u);
    EXPECT_EQ(parts[0].name, "x");
    EXPECT_EQ(parts[0].content, "1");
}

TEST(Multipart, RefusesMalformedBodies) {
    const std::string good = Part("Content-Disposition: form-data; name=\"a\"", "1");
    const struct {
        const char* what;
        std::string body;
    } cases[] = {
        {"no boundary at all", "just text"},
        {"no closing boundary", good},
        {"cut inside the headers", "--" + kB + "\r\nContent-Disposition: form-data"},
        {"a header without colon", Part("Content-Disposition form-data", "1") + "--" + kB + "--"},
        {"a part without a name", Part("Content-Disposition: form-data", "1") + "--" + kB + "--"},
        {"not form-data", Part("Content-Disposition: attachment; name=a", "1") + "--" + kB + "--"},
        {"no Content-Disposition", Part("Content-Type: text/plain", "1") + "--" + kB + "--"},
        {"unterminated quote",
         Part("Content-Disposition: form-data; name=\"a", "1") + "--" + kB + "--"},
        {"garbage after the boundary", "--" + kB + "xyz\r\n" + good + "--" + kB + "--"},
    };
    for (const auto& c : cases)
        EXPECT_THROW(ParseMultipart(c.body, kB), MultipartError) << c.what;

    for (const char* type : {"text/plain", "multipart/form-data", "multipart/form-data; boundary=",
                             "multipart/form-data; boundary=a\"b"})
        EXPECT_THROW(MultipartBoundary(type), MultipartError) << type;
    EXPECT_THROW(MultipartBoundary("multipart/form-data; boundary=" + std::string(71, 'a')),
                 MultipartError);
    MultipartLimits limits;
    limits.maxParts = 1;
    EXPECT_THROW(ParseMultipart(good + good + "--" + kB + "--", kB, limits), MultipartError);
}

TEST(BatchAnswer, ReadsKorvalosOwnEscaping) {
    // Raw CR LF inside a signature, a raw backslash and an escaped quote in an error text,
    // non-ASCII text as UTF-8.
    const std::string text =
        "{\"urlToAnswer\":\"http://h/upload?req=1\",\"beanName\":\"Бин\",\"files\":["
        "{\"id\":\"1\",\"signature\":\"QUJD\r\nREVG\r\n\",\"error\":\"\"},"
        "{\"id\":\"2\",\"signature\":\"\",\"error\":\"C:\\temp\\x \\\"quoted\\\"\tend\"}]}";
    const BatchAnswer answer = ParseBatchAnswer(text);
    EXPECT_EQ(answer.members["urlToAnswer"], "http://h/upload?req=1");
    EXPECT_EQ(answer.members["beanName"], "Бин");
    ASSERT_EQ(answer.files.size(), 2u);
    EXPECT_EQ(answer.files[0].id, "1");
    EXPECT_EQ(answer.files[0].signature, "QUJD\r\nREVG\r\n");
    EXPECT_EQ(answer.files[1].error, "C:\\temp\\x \"quoted\"\tend");
}

TEST(BatchAnswer, RefusesWhatIsNoBatchAnswer) {
    for (const char* text : {"", "[]", "{\"a\":\"b\"}", "{\"files\":\"x\"}", "{\"files\":[1]}",
                             "{\"files\":[{\"signature\":\"\"}]}", "{\"files\":[{\"id\":1}]}",
                             "{\"files\":[", "\"files\""})
        EXPECT_THROW(ParseBatchAnswer(text), BatchAnswerError) << text;
}

TEST(CodePage, ConvertsAsTheSingleByteCodePageStoresText) {
    const struct {
        std::string utf8;
        std::string cp1251;
    } cases[] = {
        {"abc <b>x</b>", "abc <b>x</b>"},
        {"Привет", "\xCF\xF0\xE8\xE2\xE5\xF2"},
        {"Ёё№«»—€", "\xA8\xB8\xB9\xAB\xBB\x97\x88"},
        {"日本", "??"},     // characters the code page lacks
        {"a😀b", "a?b"},     // one character outside the basic plane
        {"x\xD0y", "x?y"},  // a broken sequence
    };
    for (const auto& c : cases)
        EXPECT_EQ(Utf8ToCp1251(c.utf8), c.cp1251) << c.utf8;
    EXPECT_EQ(Cp1251ToUtf8("\xCF\xF0\xE8\xE2\xE5\xF2 \xB9"), "Привет №");
}

TEST(SerialText, GroupsTwoBytesFromTheLeastSignificantEnd) {
    const struct {
        std::string bytes;
        const char* text;
    } cases[] = {
        {"\x05\x04\x03\x02\x01", "05 0403 0201"},
        {"\x0B\x0A", "0B0A"},
        {"\x7F", "7F"},
        {"\x0A\x0B\x0C\x0D", "0A0B 0C0D"},
        {std::string("\x00\x8A\x0B\x0C\x0D\x01", 6), "008A 0B0C 0D01"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(SerialText(c.bytes), c.text);
}

TEST(SignatureLayout, TellsKorvalosLinesFromOneLine) {
    const std::string line(64, 'A');
    EXPECT_EQ(SignatureLayout(line + "\r\n" + line + "\r\nQUI=\r\n"), "lines64");
    EXPECT_EQ(SignatureLayout(line + "\r\n"), "lines64");
    EXPECT_EQ(SignatureLayout(line + line), "oneLine");
    EXPECT_EQ(SignatureLayout(std::string(76, 'A') + "\r\nQUI="), "other");
    EXPECT_EQ(SignatureLayout(line + "\nQUI=\n"), "other");
    EXPECT_EQ(SignatureLayout(line + "\r\nQUI="), "other");
}

}  // namespace
}  // namespace korvalo::demo
