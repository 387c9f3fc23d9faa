// The upload's body, headers, boundary and protocol record, built without a network.

#include <gtest/gtest.h>

#include <cstdio>
#include <ctime>
#include <stdexcept>

#include "core/text.h"
#include "platform/net/http_challenge.h"
#include "services/delivery/upload.h"
#include "services/delivery/upload_body.h"
#include "support/delivery_doubles.h"

namespace korvalo {
namespace {

using testing::TempDir;
using testing::WriteBytes;

// The parameters of a fixture request as the endpoint delivers them: one character per
// received byte, so the UTF-8 bytes of "Минск" arrive as ten characters.
std::vector<std::string> FixtureParams() {
    return {
        "urlToAnswer=http://127.0.0.1:8080/answer?x=1",
        "urlToRedirect=https://portal.test/done",
        "crpt_cookie=JSESSIONID=abc; lang=ru",
        "crpt_message=the message itself",
        "Crpt_Message=echoed",
        "note=a b&c=d",
        "city=" + FromLatin1("\xD0\x9C\xD0\xB8\xD0\xBD\xD1\x81\xD0\xBA"),
        "flag",
        "empty=",
        "name=Иван",  // decoded already (a batch document's escapes): kept, not cut to bytes
    };
}

std::string WithBoundary(std::string text, const std::string& boundary) {
    return ReplaceAll(text, "{B}", boundary);
}

TEST(MultipartHead, EchoesTheParametersThenSignatureVersionAndFileHead) {
    const std::string head =
        BuildMultipartHead(FixtureParams(), false, "MIIBsig\r\nline2\r\n", "1.0.0.0",
                           "/tmp/Korvalo/202435_978.htm", "0123456789abcdef0123456789abcdef");
    const std::string expected = WithBoundary(
        "--{B}\r\n"
        "Content-Disposition: form-data; name=\"urlToAnswer\"\r\n"
        "\r\n"
        "http%3A%2F%2F127.0.0.1%3A8080%2Fanswer%3Fx%3D1\r\n"
        "--{B}\r\n"
        "Content-Disposition: form-data; name=\"urlToRedirect\"\r\n"
        "\r\n"
        "https%3A%2F%2Fportal.test%2Fdone\r\n"
        "--{B}\r\n"
        "Content-Disposition: form-data; name=\"crpt_cookie\"\r\n"
        "\r\n"
        "JSESSIONID%3Dabc%3B+lang%3Dru\r\n"
        "--{B}\r\n"
        "Content-Disposition: form-data; name=\"Crpt_Message\"\r\n"
        "\r\n"
        "echoed\r\n"
        "--{B}\r\n"
        "Content-Disposition: form-data; name=\"note\"\r\n"
        "\r\n"
        "a+b%26c%3Dd\r\n"
        "--{B}\r\n"
        "Content-Disposition: form-data; name=\"city\"\r\n"
        "\r\n"
        "%D0%9C%D0%B8%D0%BD%D1%81%D0%BA\r\n"
        "--{B}\r\n"
        "Content-Disposition: form-data; name=\"flag\"\r\n"
        "\r\n"
        "\r\n"
        "--{B}\r\n"
        "Content-Disposition: form-data; name=\"empty\"\r\n"
        "\r\n"
        "\r\n"
        "--{B}\r\n"
        "Content-Disposition: form-data; name=\"name\"\r\n"
        "\r\n"
        "%D0%98%D0%B2%D0%B0%D0%BD\r\n"
        "--{B}\r\n"
        "Content-Disposition: form-data; name=\"crpt_signature\"\r\n"
        "\r\n"
        "MIIBsig\r\nline2\r\n\r\n"
        "--{B}\r\n"
        "Content-Disposition: form-data; name=\"korvaloVersion\"\r\n"
        "\r\n"
        "1.0.0.0\r\n"
        "--{B}\r\n"
        "Content-Disposition: form-data; name=\"crpt_file\"; filename=\"202435_978.htm\"\r\n"
        "Content-Type: application/x-macbinary\r\n"
        "\r\n",
        "0123456789abcdef0123456789abcdef");
    EXPECT_EQ(head, expected);
}

// What one echoed value becomes: bytes are decoded, text is kept, and text beside bytes keeps
// its characters while the bytes around them are decoded where they are UTF-8.
TEST(MultipartHead, EchoedValuesByKind) {
    struct Case {
        std::string value;
        bool paramsAreText;
        std::string encoded;
    };
    const Case cases[] = {
        {FromLatin1("\xD0\x9F\xC2\xAB \xC2\xA0"), false, "%D0%9F%C2%AB+%C2%A0"},
        {"П« \u00A0", true, "%D0%9F%C2%AB+%C2%A0"},
        // Text up to U+00FF that arrived as text is not cut to its low bytes.
        {"«é»", true, "%C2%AB%C3%A9%C2%BB"},
        {FromLatin1("\xD0\x9F") + "И", false, "%D0%9F%D0%98"},
        {FromLatin1("\xD0") + "И", false, "%C3%90%D0%98"},
    };
    for (const Case& c : cases) {
        const std::string head =
            BuildMultipartHead({"v=" + c.value}, c.paramsAreText, "", "", "", "B");
        const std::string start = "--B\r\nContent-Disposition: form-data; name=\"v\"\r\n\r\n";
        ASSERT_EQ(head.rfind(start, 0), 0u) << head;
        EXPECT_EQ(head.substr(start.size(), head.find("\r\n", start.size()) - start.size()),
                  c.encoded)
            << c.value;
    }
}

// Reads the whole body in pieces of the given size.
std::string ReadBody(IHttpBodySource& body, std::size_t piece) {
    std::string out;
    std::string buffer(piece, '\0');
    while (const std::size_t n = body.Read(buffer.data(), buffer.size()))
        out.append(buffer, 0, n);
    return out;
}

TEST(MultipartBody, HoldsHeadFileBytesAndClosingBoundaryWhateverThePieces) {
    TempDir dir;
    std::string bytes("\x00\x01\xFF\r\n--not a boundary--\r\n", 26);
    for (int i = 0; i < 70000; ++i)
        bytes.push_back(static_cast<char>(i * 13));
    WriteBytes(dir / "data.bin", bytes);
    const std::string expected = "HEAD" + bytes + "\r\n--B--\r\n";
    for (const std::size_t piece :
         {std::size_t{1}, std::size_t{3}, std::size_t{4096}, std::size_t{1} << 20}) {
        MultipartFileBody body("HEAD", (dir / "data.bin").string(), "\r\n--B--\r\n",
                               FingerprintOf(bytes));
        EXPECT_EQ(body.Size(), expected.size());
        EXPECT_EQ(ReadBody(body, piece), expected) << piece;
        // A repeated request (authentication, a redirect) gets the same body again.
        body.Rewind();
        EXPECT_EQ(ReadBody(body, piece), expected) << piece;
    }
    // An empty file: the empty line of the part's head is followed by CRLF and the end.
    WriteBytes(dir / "empty.txt", "");
    MultipartFileBody empty("HEAD\r\n\r\n", (dir / "empty.txt").string(), "\r\n--B--\r\n",
                            FingerprintOf(""));
    EXPECT_EQ(empty.Size(), 17u);
    EXPECT_EQ(ReadBody(empty, 5), "HEAD\r\n\r\n\r\n--B--\r\n");
}

// Only a file with a content of its own can be announced with its length and sent: a folder,
// a device or a pipe is refused before anything is sent.
TEST(MultipartBody, WhatIsNoFileIsRefusedAtOnce) {
    TempDir dir;
    EXPECT_THROW(MultipartFileBody("HEAD", (dir / "missing.htm").string(), "T"),
                 std::runtime_error);
    EXPECT_THROW(MultipartFileBody("HEAD", dir.path().string(), "T"), std::runtime_error);
    std::FILE* pipe = ::popen("echo data", "r");
    ASSERT_NE(pipe, nullptr);
    EXPECT_THROW(MultipartFileBody("HEAD", "/dev/fd/" + std::to_string(::fileno(pipe)), "T"),
                 std::runtime_error);
    ::pclose(pipe);
}

// A file that is not the signed content: of another length, refused before anything is sent;
// of the same length but other bytes, the body stops at the end of the file's bytes, before
// the tail, so it never completes.
TEST(MultipartBody, AFileOtherThanTheSignedOneNeverCompletes) {
    TempDir dir;
    const std::string file = (dir / "doc.bin").string();
    WriteBytes(file, "signed bytes");
    try {
        MultipartFileBody("HEAD", file, "TAIL", FingerprintOf("other"));
        ADD_FAILURE() << "a file of another length was taken";
    } catch (const UploadFileError& e) {
        EXPECT_EQ(std::string(e.what()),
                  "Файл \"" + file + "\" изменился после подписи: отправка отменена.");
    }

    MultipartFileBody body("HEAD", file, "TAIL", FingerprintOf("signed BYTES"));
    std::string sent;
    char buffer[5];
    try {
        while (const std::size_t n = body.Read(buffer, sizeof buffer))
            sent.append(buffer, n);
        ADD_FAILURE() << "the body completed";
    } catch (const UploadFileError& e) {
        EXPECT_EQ(std::string(e.what()),
                  "Файл \"" + file + "\" изменился после подписи: отправка прервана.");
    }
    // Some of the file's bytes went out, never the tail.
    EXPECT_EQ(std::string("HEADsigned bytes").rfind(sent, 0), 0u) << sent;
    EXPECT_GE(sent.size(), 8u);
}

Clock::time_point LocalMidnightPlus(std::chrono::milliseconds offset) {
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    tm.tm_hour = tm.tm_min = tm.tm_sec = 0;
    tm.tm_isdst = -1;
    return Clock::from_time_t(std::mktime(&tm)) + offset;
}

TEST(UploadBoundary, IsTheMd5OfTheMillisecondsSinceLocalMidnight) {
    EXPECT_EQ(UploadBoundary(LocalMidnightPlus(std::chrono::milliseconds(0))),
              "cfcd208495d565ef66e7dff9f98764da");  // MD5 of "0"
    EXPECT_EQ(UploadBoundary(LocalMidnightPlus(std::chrono::milliseconds(1234))),
              "81dc9bdb52d04dc20036dbd8313ed055");  // MD5 of "1234"
}

TEST(UploadHeaders, AreListedInOrderAndCookieOnlyWhenGiven) {
    const HeaderList withCookie = UploadHeaders("Agent/1.0", "a=b", "BND");
    const HeaderList expected{
        {"User-Agent", "Agent/1.0"},
        {"Accept", "*/*"},
        {"Accept-Language", "ru-RU,ru;q=0.9,en;q=0.8"},
        {"Accept-Charset", "utf-8;q=0.7,*;q=0.3"},
        {"Cookie", "a=b"},
        {"Connection", "Keep-Alive"},
        {"Content-Type", "multipart/form-data; boundary=BND"},
    };
    EXPECT_EQ(withCookie, expected);

    HeaderList withoutCookie = expected;
    withoutCookie.erase(withoutCookie.begin() + 4);
    EXPECT_EQ(UploadHeaders("Agent/1.0", "", "BND"), withoutCookie);
}

TEST(UploadRecord, DumpsRequestLineHostHeadersLengthAndHead) {
    const auto when = LocalMidnightPlus(std::chrono::hours(13) + std::chrono::minutes(4) +
                                        std::chrono::seconds(5));
    const HeaderList headers{{"User-Agent", "Браузер"}, {"Content-Type", "x"}};
    EXPECT_EQ(UploadRecord("http://127.0.0.1:8080/answer?x=1", headers, 1234, "HEAD\r\n", when),
              "*--* 13:04:05\r\n"
              "POST http://127.0.0.1:8080/answer?x=1 HTTP/1.1\r\n"
              "Host: 127.0.0.1:8080\r\n"
              "User-Agent: Браузер\r\n"
              "Content-Type: x\r\n"
              "Content-Length: 1234\r\n"
              "\r\n"
              "HEAD\r\n"
              "\r\n");
}

TEST(UploadRecord, HostLineTakesThePortAsWritten) {
    struct Case {
        std::string url;
        std::string host;
        std::string port;
    };
    const Case cases[] = {
        {"http://portal.test/answer", "portal.test", ""},
        {"https://portal.test:443/a", "portal.test", "443"},
        {"http://[::1]:81/", "[::1]", "81"},
        {"", "", ""},
        {"not a url", "", ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(UrlHostAndPort(c.url), std::make_pair(c.host, c.port)) << c.url;
    }
    EXPECT_NE(UploadRecord("http://portal.test/answer", {}, 1, "").find("Host: portal.test:\r\n"),
              std::string::npos);
}

TEST(WinHttpErrorText, StartsWithTheNumberAndNamesTheFailure) {
    EXPECT_EQ(WinHttpErrorText(12029, "Couldn't connect to server"),
              "12029: Не удается установить соединение с сервером (Couldn't connect to server)");
    EXPECT_EQ(WinHttpErrorText(12002, ""), "12002: Истекло время ожидания операции");
}

}  // namespace
}  // namespace korvalo
