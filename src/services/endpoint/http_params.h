#pragma once
// Decoding of query strings and form bodies into the parameter lines the handlers receive.

#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace korvalo {

// A "%" not followed by two hexadecimal digits.
class InvalidPercentEscape : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Decodes form-encoded bytes ("a=1&b=x+y%20z") into name=value lines. Every "&"-separated piece
// (an empty piece in the middle included, a trailing "&" adding nothing) has each "+" turned
// into a blank and is percent-decoded; the bytes are then read in charset: utf-8 (invalid
// sequences as U+FFFD), windows-1251, or, for an empty or unknown charset, one character per
// byte. Throws InvalidPercentEscape.
std::vector<std::string> DecodeFormParams(std::string_view encoded, std::string_view charset);

// The value of the charset parameter of a Content-Type value, empty when there is none.
std::string ContentTypeCharset(std::string_view contentType);

// The media type of a Content-Type value (before any ";"), trimmed.
std::string ContentTypeMedia(std::string_view contentType);

// Bytes read in a character set as DecodeFormParams reads them.
std::string DecodeCharset(std::string_view bytes, std::string_view charset);

// Whether DecodeCharset reads bytes as characters of charset (utf-8, windows-1251,
// iso-8859-1 and their other names) rather than one character per byte because it names no
// character set or one that is not known.
bool IsKnownCharset(std::string_view charset);

}  // namespace korvalo
