#pragma once
// Base64 in the three shapes Korvalo sends, and a lenient decoder.

#include <string>
#include <string_view>

namespace korvalo {

// Standard alphabet, "=" padding, no line breaks.
std::string Base64Encode(std::string_view bytes);

// Lines of 64 characters, every line (the last one included) ended by CR LF; the shape of the
// platform's binary-to-string conversion used for CMS signatures. Empty input gives "".
std::string Base64EncodeLines64(std::string_view bytes);

// Lines of 76 characters: CR LF after every complete line (also when the text ends exactly
// at a line end), none after a final partial line.
std::string Base64EncodeLines76(std::string_view bytes);

// Decodes standard Base64. Characters outside the alphabet (line breaks, blanks, garbage)
// are skipped and decoding stops at the first "="; a dangling final character is dropped.
std::string Base64Decode(std::string_view text);

namespace detail {
// The two conversions over OpenSSL's int-sized block functions, in pieces of pieceBytes input
// bytes (a multiple of 3); texts of any length go through whole.
std::string Base64EncodeInPieces(std::string_view bytes, std::size_t pieceBytes);
std::string Base64DecodeInPieces(std::string_view text, std::size_t pieceBytes);
}  // namespace detail

}  // namespace korvalo
