#include "codepage.h"

#include <iconv.h>

#include <cerrno>
#include <stdexcept>

namespace korvalo::demo {

namespace {

// One iconv conversion descriptor, closed when it goes out of scope.
class Iconv {
public:
    Iconv(const char* to, const char* from) : FHandle(iconv_open(to, from)) {
        if (FHandle == reinterpret_cast<iconv_t>(-1))
            throw std::runtime_error(std::string("iconv cannot convert from ") + from + " to " +
                                     to);
    }
    ~Iconv() { iconv_close(FHandle); }
    Iconv(const Iconv&) = delete;
    Iconv& operator=(const Iconv&) = delete;

    // Converts one complete character; false when the target lacks it.
    bool ConvertOne(std::string_view in, std::string& out) {
        iconv(FHandle, nullptr, nullptr, nullptr, nullptr);  // reset the shift state
        char buffer[16];
        char* src = const_cast<char*>(in.data());
        std::size_t srcLeft = in.size();
        char* dst = buffer;
        std::size_t dstLeft = sizeof buffer;
        if (iconv(FHandle, &src, &srcLeft, &dst, &dstLeft) == static_cast<std::size_t>(-1) ||
            srcLeft != 0)
            return false;
        out.append(buffer, dst);
        return true;
    }

private:
    iconv_t FHandle;
};

// Length of the well-formed UTF-8 sequence at text[i], 0 when it is malformed.
std::size_t SequenceLength(std::string_view text, std::size_t i) {
    const auto b = static_cast<unsigned char>(text[i]);
    std::size_t n = 0;
    char32_t cp = 0;
    if (b < 0x80)
        return 1;
    if (b >= 0xC2 && b <= 0xDF) {
        n = 2;
        cp = b & 0x1F;
    } else if (b >= 0xE0 && b <= 0xEF) {
        n = 3;
        cp = b & 0x0F;
    } else if (b >= 0xF0 && b <= 0xF4) {
        n = 4;
        cp = b & 0x07;
    } else {
        return 0;
    }
    if (i + n > text.size())
        return 0;
    for (std::size_t k = 1; k < n; ++k) {
        const auto c = static_cast<unsigned char>(text[i + k]);
        if ((c & 0xC0) != 0x80)
            return 0;
        cp = (cp << 6) | (c & 0x3F);
    }
    if ((n == 3 && cp < 0x800) || (n == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
        (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    return n;
}

}  // namespace

std::string Utf8ToCp1251(std::string_view utf8) {
    Iconv conv("CP1251", "UTF-8");
    std::string out;
    out.reserve(utf8.size());
    std::size_t i = 0;
    while (i < utf8.size()) {
        const std::size_t n = SequenceLength(utf8, i);
        if (n == 0) {
            // A malformed sequence decodes to U+FFFD, which the code page lacks. Skip the lead
            // byte and its continuation bytes as one unit.
            std::size_t skip = 1;
            while (i + skip < utf8.size() &&
                   (static_cast<unsigned char>(utf8[i + skip]) & 0xC0) == 0x80 && skip < 4)
                ++skip;
            out += '?';
            i += skip;
            continue;
        }
        if (n == 1) {
            out += utf8[i];
        } else {
            std::string one;
            out += conv.ConvertOne(utf8.substr(i, n), one) && one.size() == 1 ? one : "?";
        }
        i += n;
    }
    return out;
}

std::string Cp1251ToUtf8(std::string_view bytes) {
    Iconv conv("UTF-8", "CP1251");
    std::string out;
    out.reserve(bytes.size() * 2);
    for (char c : bytes) {
        if (static_cast<unsigned char>(c) < 0x80) {
            out += c;
            continue;
        }
        if (!conv.ConvertOne(std::string_view(&c, 1), out))
            out += '?';
    }
    return out;
}

}  // namespace korvalo::demo
