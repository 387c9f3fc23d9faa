#pragma once
// Text helpers of the demo service: HTML escaping, form URL decoding, query strings,
// Base64, hexadecimal, time stamps and random request identifiers.

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace korvalo::demo {

// Escapes & < > " ' for HTML text and attribute values.
std::string HtmlEscape(std::string_view text);

// Decodes an application/x-www-form-urlencoded value: "+" is a blank, "%XX" a byte. A "%" not
// followed by two hexadecimal digits is kept as it stands.
std::string FormUrlDecode(std::string_view text);

// Encodes a value for a query string: unreserved characters as they are, the rest as "%XX".
std::string UrlEncode(std::string_view text);

// The name=value pairs of a query string (the text after "?"), decoded, in order.
std::vector<std::pair<std::string, std::string>> ParseQuery(std::string_view query);

// The path of a request target and the value of one of its query parameters.
std::string_view TargetPath(std::string_view target);
std::optional<std::string> QueryValue(std::string_view target, std::string_view name);

// Standard Base64 without line breaks.
std::string Base64Encode(std::string_view bytes);
// Decodes Base64 whose lines may be broken by CR LF or LF; nothing when the text is not Base64.
std::optional<std::string> Base64Decode(std::string_view text);

std::string HexUpper(std::string_view bytes);
std::string Sha256Hex(std::string_view bytes);

// UTC time as "YYYY-MM-DDTHH:MM:SSZ".
std::string IsoUtc(std::chrono::system_clock::time_point time);

// A fresh identifier of 16 lower-case hexadecimal digits from the OpenSSL random generator.
std::string RandomId();

// Whether the bytes are well-formed UTF-8.
bool IsValidUtf8(std::string_view bytes);

bool EqualsNoCase(std::string_view a, std::string_view b);

}  // namespace korvalo::demo
