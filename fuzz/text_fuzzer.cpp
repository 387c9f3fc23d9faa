// Text and code-page conversions over any bytes: UTF-8 decoding, DecodeUtf8Bytes, code page
// 1251 both ways, one character per byte and back, the URL encoding of uploads, trimming,
// line splitting, integers as settings and parameters write them, Base64 both ways.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "core/base64.h"
#include "core/text.h"

namespace {

void Check(bool ok) {
    if (!ok)
        std::abort();
}

bool ValidUtf8(std::string_view text) {
    return korvalo::DecodeUtf8(text) == text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace korvalo;
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);

    const std::string decoded = DecodeUtf8(bytes);
    Check(ValidUtf8(decoded));
    Check(CharCount(decoded) <= bytes.size());

    const std::string latin = FromLatin1(bytes);
    Check(ValidUtf8(latin));
    Check(LowBytes(latin) == bytes);
    Check(DecodeUtf8Bytes(latin) == decoded);

    const std::string fromCp = FromCp1251(bytes);
    Check(ValidUtf8(fromCp));
    const std::string cp = ToCp1251(decoded);
    Check(CharCount(decoded) == cp.size());
    Check(ThroughCp1251(decoded) == FromCp1251(cp));

    const std::string ascii = FromBytesAsciiOnly(bytes);
    Check(ascii.size() == bytes.size());

    const std::string encoded = UrlEncodeForm(decoded);
    Check(encoded.find_first_of(" &=\"\r\n") == std::string::npos);

    const std::string trimmed = Trim(decoded);
    Check(trimmed.size() <= decoded.size());
    for (const std::string& line : SplitLines(decoded))
        Check(line.find_first_of("\r\n") == std::string::npos);
    (void)ToLowerAscii(decoded);
    (void)EqualsNoCase(decoded, trimmed);

    std::int32_t value = 0;
    (void)ParseInteger(bytes, value, true);
    (void)ParseInteger(bytes, value, false);

    const std::string base64 = Base64Encode(bytes);
    Check(Base64Decode(base64) == bytes);
    Check(Base64Decode(Base64EncodeLines64(bytes)) == bytes);
    Check(Base64Decode(Base64EncodeLines76(bytes)) == bytes);
    (void)Base64Decode(bytes);
    return 0;
}
