#pragma once
// What Korvalo writes into the message file: the message text in code page 1251, computed
// here with the C library's iconv so the service does not share Korvalo's own table.

#include <string>
#include <string_view>

namespace korvalo::demo {

// Converts UTF-8 text to code page 1251 bytes, one byte per character; a character that the
// code page lacks, and every malformed UTF-8 sequence, becomes "?".
std::string Utf8ToCp1251(std::string_view utf8);

// Converts code page 1251 bytes to UTF-8 (bytes the code page leaves undefined become "?").
std::string Cp1251ToUtf8(std::string_view bytes);

}  // namespace korvalo::demo
