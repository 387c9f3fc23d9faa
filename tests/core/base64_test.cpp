#include "core/base64.h"

#include <gtest/gtest.h>

#include "core/digest.h"

namespace korvalo {
namespace {

TEST(Base64, PlainAndDecode) {
    EXPECT_EQ(Base64Encode("abc"), "YWJj");
    EXPECT_EQ(Base64Encode(""), "");
    EXPECT_EQ(Base64Encode(":"), "Og==");
    EXPECT_EQ(Base64Decode("YWJj"), "abc");
    EXPECT_EQ(Base64Decode("YW\r\nJj"), "abc");
    EXPECT_EQ(Base64Decode("YQ=="), "a");
    EXPECT_EQ(Base64Decode("YQ"), "a");
    EXPECT_EQ(Base64Decode("Y"), "");
    EXPECT_EQ(Base64Decode("!!"), "");
    const std::string bin("\x00\xFF\x10\x80", 4);
    EXPECT_EQ(Base64Decode(Base64Encode(bin)), bin);
}

TEST(Base64, SixtyFourCharacterLinesEachEndedByCrLf) {
    const std::string data(100, 'x');  // 136 characters of Base64
    const std::string text = Base64EncodeLines64(data);
    const std::string plain = Base64Encode(data);
    EXPECT_EQ(text, plain.substr(0, 64) + "\r\n" + plain.substr(64, 64) + "\r\n" +
                        plain.substr(128) + "\r\n");
    EXPECT_EQ(Base64EncodeLines64(std::string(48, 'y')),
              Base64Encode(std::string(48, 'y')) + "\r\n");
}

TEST(Base64, SeventySixCharacterLinesBreakOnlyAfterFullLines) {
    const std::string b57(57, 'z');
    EXPECT_EQ(Base64EncodeLines76(b57), Base64Encode(b57) + "\r\n");
    const std::string b58(58, 'z');
    const std::string plain = Base64Encode(b58);
    const std::string text = Base64EncodeLines76(b58);
    EXPECT_EQ(text, plain.substr(0, 76) + "\r\n" + plain.substr(76));
    EXPECT_EQ(text.size(), 76u + 2u + 4u);
    EXPECT_EQ(text.substr(text.size() - 2), "==");
    EXPECT_EQ(Base64EncodeLines76(""), "");
}

// Texts longer than OpenSSL's int lengths go through in pieces; with small pieces every
// length and every cut gives what one piece gives.
TEST(Base64, PiecesGiveWhatOnePieceGives) {
    std::string bytes;
    for (int i = 0; i < 40; ++i)
        bytes.push_back(static_cast<char>(i * 37 + 11));
    for (std::size_t length = 0; length <= bytes.size(); ++length) {
        const std::string_view part(bytes.data(), length);
        const std::string whole = Base64Encode(part);
        for (const std::size_t piece : {3u, 6u, 9u, 30u}) {
            EXPECT_EQ(detail::Base64EncodeInPieces(part, piece), whole) << length << "/" << piece;
            EXPECT_EQ(detail::Base64DecodeInPieces(whole, piece), part) << length << "/" << piece;
            EXPECT_EQ(detail::Base64DecodeInPieces(Base64EncodeLines64(part), piece), part);
        }
    }
}

TEST(Md5, LowerCaseHex) {
    EXPECT_EQ(Md5Hex("12345"), "827ccb0eea8a706c4c34a16891f84e7b");
}

}  // namespace
}  // namespace korvalo
