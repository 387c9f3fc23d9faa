#include "core/text.h"

#include <gtest/gtest.h>

namespace korvalo {
namespace {

TEST(CodePage1251, RoundTripsCyrillicAndReplacesWhatItLacks) {
    EXPECT_EQ(ToCp1251("Привет Ёё №"), "\xCF\xF0\xE8\xE2\xE5\xF2 \xA8\xB8 \xB9");
    EXPECT_EQ(FromCp1251("\xCF\xF0\xE8\xE2\xE5\xF2 \xA8\xB8 \xB9"), "Привет Ёё №");
    EXPECT_EQ(ToCp1251("a€b"),
              "a\x88"
              "b");
    EXPECT_EQ(ThroughCp1251("日本 Ω ü"), "?? ? ?");
    EXPECT_EQ(ThroughCp1251("«текст»"), "«текст»");
    std::string all;
    for (int b = 0; b < 256; ++b)
        all.push_back(static_cast<char>(b));
    EXPECT_EQ(ToCp1251(FromCp1251(all)), all);
}

TEST(DecodeUtf8Bytes, TakesLowBytesAndDecodes) {
    // Six one-byte characters as a form parameter delivers them.
    EXPECT_EQ(DecodeUtf8Bytes(FromLatin1("\xD0\x9F\xD1\x80\xD0\xB8")), "При");
    EXPECT_EQ(DecodeUtf8Bytes("plain ascii"), "plain ascii");
    // Invalid sequences become U+FFFD.
    EXPECT_EQ(DecodeUtf8Bytes(FromLatin1("a\xFF"
                                         "b")),
              "a\xEF\xBF\xBD"
              "b");
    EXPECT_EQ(DecodeUtf8Bytes(FromLatin1("\xD0")), "\xEF\xBF\xBD");
    EXPECT_EQ(ThroughCp1251(DecodeUtf8Bytes(FromLatin1("\xC3\x28"))), "?(");
}

// Text with characters above U+00FF is text already: those characters pass, and the runs of
// byte characters around them are decoded where they are valid UTF-8 and kept where not.
TEST(DecodeUtf8Bytes, TextBesideBytes) {
    struct Case {
        std::string text, decoded;
    };
    const Case cases[] = {
        // Byte escapes of П, then the real И.
        {FromLatin1("\xD0\x9F") + "И", "ПИ"},
        // A lone byte before real text, and a lone byte between two runs of valid bytes.
        {FromLatin1("\xD0") + "И", "\u00D0И"},
        {FromLatin1("\xD1\x80\xD0") + "Иx" + FromLatin1("\xD0\xB8\xFF"), "р\u00D0Иxи\u00FF"},
        // Characters up to U+00FF that are text («, » and a no-break space) beside Cyrillic.
        {"«Иван»\u00A0", "«Иван»\u00A0"},
        {"日本", "日本"},
        // Only characters up to U+00FF: the byte-wise decoding, invalid bytes as U+FFFD.
        {"«x»", "\uFFFDx\uFFFD"},
        {FromLatin1("\xD0\x9F\xD0"), "П\uFFFD"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(DecodeUtf8Bytes(c.text), c.decoded) << c.text;
}

TEST(Utf8, InvalidInputIsReplacedNotTrusted) {
    EXPECT_EQ(DecodeUtf8("\xE0\x80\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
    EXPECT_EQ(DecodeUtf8("\xED\xA0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
    EXPECT_EQ(CharCount("дом"), 3u);
    EXPECT_EQ(FromBytesAsciiOnly("a\xD0\xBF"), "a??");
}

TEST(ParseInteger, AcceptsDecimalAndBothHexPrefixes) {
    struct Case {
        const char* text;
        bool ok;
        int value;
        bool allow0x;
    } cases[] = {
        {"80", true, 80, true},
        {"-1", true, -1, true},
        {"0x1", true, 1, true},
        {"$1F", true, 31, true},
        {"0x1", false, 0, false},
        {"$10", true, 16, false},
        {"abc", false, 0, true},
        {"", false, 0, true},
        {"12 ", false, 0, true},
        {"true", false, 0, true},
        {"2147483647", true, 2147483647, true},
        {"2147483648", false, 0, true},
        {"$FFFFFFFF", true, -1, true},
    };
    for (const Case& c : cases) {
        int v = 0;
        EXPECT_EQ(ParseInteger(c.text, v, c.allow0x), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(v, c.value) << c.text;
        }
    }
}

TEST(UrlEncodeForm, KeepsTheUnreservedSetAndEncodesUtf8) {
    EXPECT_EQ(UrlEncodeForm("a b&c=d"), "a+b%26c%3Dd");
    EXPECT_EQ(UrlEncodeForm("http://x/y?z#~\"%+,;"), "http%3A%2F%2Fx%2Fy%3Fz%23%7E%22%25%2B%2C%3B");
    EXPECT_EQ(UrlEncodeForm("!$'()*-.@_AZaz09"), "!$'()*-.@_AZaz09");
    EXPECT_EQ(UrlEncodeForm("Да"), "%D0%94%D0%B0");
    EXPECT_EQ(UrlEncodeForm("\r\n"), "%0D%0A");
}

TEST(TextHelpers, TrimSplitAndCase) {
    EXPECT_EQ(Trim(" \t TRUE \r\n"), "TRUE");
    EXPECT_EQ(SplitLines("a=1\r\nb=2\nc=3\r\n"), (std::vector<std::string>{"a=1", "b=2", "c=3"}));
    EXPECT_EQ(SplitLines("x\r\n\r\ny"), (std::vector<std::string>{"x", "", "y"}));
    EXPECT_TRUE(EqualsNoCase("URLTOANSWER", "urlToAnswer"));
    EXPECT_TRUE(StartsWithNoCase("tiny web server 1.0", "Tiny Web Server"));
    EXPECT_EQ(ReplaceAll("12+34+", "+", " "), "12 34 ");
}

}  // namespace
}  // namespace korvalo
