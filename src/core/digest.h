#pragma once
// Message digests Korvalo needs outside of CMS.

#include <string>
#include <string_view>

namespace korvalo {

// MD5 of the bytes as 32 lower-case hexadecimal digits.
std::string Md5Hex(std::string_view bytes);

}  // namespace korvalo
