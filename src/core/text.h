#pragma once
// Text helpers shared by every part of Korvalo.
//
// Text is held as UTF-8 in std::string. Byte buffers (file contents, code-page bytes) are
// std::string as well; the function names say which one a value is.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace korvalo {

// Calls fn(char32_t) for each character of utf8; invalid sequences yield U+FFFD.
template <typename Fn>
void ForEachChar(std::string_view utf8, Fn&& fn);

void AppendUtf8(std::string& out, char32_t ch);

// Decodes bytes as UTF-8; every invalid sequence becomes U+FFFD.
std::string DecodeUtf8(std::string_view bytes);

// Number of characters (code points) of a UTF-8 text.
std::size_t CharCount(std::string_view utf8);

// Code page 1251, the system's single-byte code page. Characters it lacks become "?".
std::string ToCp1251(std::string_view utf8);
std::string FromCp1251(std::string_view bytes);
// The round trip through the single-byte code page that single-byte string fields make.
std::string ThroughCp1251(std::string_view utf8);

// One character per byte (code 0 to 255), and back taking the low 8 bits of each character.
std::string FromLatin1(std::string_view bytes);
std::string LowBytes(std::string_view utf8);
// One character per byte, with every byte above 0x7F read as "?".
std::string FromBytesAsciiOnly(std::string_view bytes);

// Decodes text whose characters stand for bytes. Text made only of characters up to U+00FF:
// the low 8 bits of each character are one byte and the bytes are decoded as UTF-8 (invalid
// sequences as U+FFFD). Text that also holds characters above U+00FF is text already, with
// bytes written beside it (a batch value with real-character escapes next to "\u00XX" byte
// escapes): those characters pass unchanged, and each run of characters up to U+00FF is
// decoded as UTF-8 where its bytes are valid UTF-8 and kept as it is where they are not.
std::string DecodeUtf8Bytes(std::string_view text);

// Removes characters up to and including the blank (codes 0 to 32) at both ends.
std::string Trim(std::string_view text);
std::string TrimLeft(std::string_view text);
std::string ToLowerAscii(std::string_view text);
std::string ToUpperAscii(std::string_view text);
bool EqualsNoCase(std::string_view a, std::string_view b);  // ASCII letters only
bool StartsWithNoCase(std::string_view text, std::string_view prefix);
std::string ReplaceAll(std::string_view text, std::string_view from, std::string_view to);
// Splits at CR LF, lone CR or lone LF; a trailing line break gives no empty last line.
std::vector<std::string> SplitLines(std::string_view text);

// Integer as the profile files and request parameters write them: optional sign, decimal, or
// hexadecimal with "$" (and "0x" when allowHexPrefix0x). Returns false when text is no number
// or does not fit in 32 bits.
[[nodiscard]] bool ParseInteger(std::string_view text, std::int32_t& value,
                                bool allowHexPrefix0x = true);

// The URL encoding of uploaded values and protocol records: A-Z a-z 0-9 ! $ ' ( ) * - . @ _
// as they are, a space as "+", every other character as its UTF-8 bytes in "%XX" form.
std::string UrlEncodeForm(std::string_view utf8);

// ---- implementation of the template ----
namespace detail {
// Decodes one character at s[i] and advances i. An invalid or truncated sequence yields
// U+FFFD (valid false) and consumes its maximal valid prefix (at least one byte).
char32_t DecodeOne(std::string_view s, std::size_t& i);
char32_t DecodeOne(std::string_view s, std::size_t& i, bool& valid);
}  // namespace detail

template <typename Fn>
void ForEachChar(std::string_view utf8, Fn&& fn) {
    std::size_t i = 0;
    while (i < utf8.size()) {
        fn(detail::DecodeOne(utf8, i));
    }
}

}  // namespace korvalo
