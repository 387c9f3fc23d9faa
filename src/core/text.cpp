#include "core/text.h"

#include <algorithm>
#include <array>
#include <cstdio>

namespace korvalo {

namespace detail {

char32_t DecodeOne(std::string_view s, std::size_t& i) {
    bool valid = true;
    return DecodeOne(s, i, valid);
}

char32_t DecodeOne(std::string_view s, std::size_t& i, bool& valid) {
    valid = false;
    const auto b0 = static_cast<unsigned char>(s[i]);
    if (b0 < 0x80) {
        ++i;
        valid = true;
        return b0;
    }
    int len = 0;
    char32_t cp = 0;
    unsigned char lo = 0x80, hi = 0xBF;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        len = 2;
        cp = b0 & 0x1F;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        len = 3;
        cp = b0 & 0x0F;
        if (b0 == 0xE0)
            lo = 0xA0;
        if (b0 == 0xED)
            hi = 0x9F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        len = 4;
        cp = b0 & 0x07;
        if (b0 == 0xF0)
            lo = 0x90;
        if (b0 == 0xF4)
            hi = 0x8F;
    } else {
        ++i;
        return 0xFFFD;
    }
    std::size_t j = i + 1;
    for (int k = 1; k < len; ++k, ++j) {
        if (j >= s.size()) {
            i = j;
            return 0xFFFD;
        }
        const auto b = static_cast<unsigned char>(s[j]);
        if (b < lo || b > hi) {
            i = j;
            return 0xFFFD;
        }
        lo = 0x80;
        hi = 0xBF;
        cp = (cp << 6) | (b & 0x3F);
    }
    i = j;
    valid = true;
    return cp;
}

}  // namespace detail

void AppendUtf8(std::string& out, char32_t ch) {
    if (ch > 0x10FFFF || (ch >= 0xD800 && ch <= 0xDFFF))
        ch = 0xFFFD;
    if (ch < 0x80) {
        out.push_back(static_cast<char>(ch));
    } else if (ch < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (ch >> 6)));
        out.push_back(static_cast<char>(0x80 | (ch & 0x3F)));
    } else if (ch < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (ch >> 12)));
        out.push_back(static_cast<char>(0x80 | ((ch >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (ch & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (ch >> 18)));
        out.push_back(static_cast<char>(0x80 | ((ch >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((ch >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (ch & 0x3F)));
    }
}

std::string DecodeUtf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    ForEachChar(bytes, [&](char32_t c) { AppendUtf8(out, c); });
    return out;
}

std::size_t CharCount(std::string_view utf8) {
    std::size_t n = 0;
    ForEachChar(utf8, [&](char32_t) { ++n; });
    return n;
}

namespace {

// Characters of code page 1251 for the bytes 0x80 to 0xFF. 0x98 has no character of its own
// and maps to U+0098, as the platform's conversion does.
constexpr std::array<char16_t, 128> kCp1251High = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021,  // 80
    0x20AC, 0x2030, 0x0409, 0x2039, 0x040A, 0x040C, 0x040B, 0x040F,  // 88
    0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90
    0x0098, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F,  // 98
    0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7,  // A0
    0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407,  // A8
    0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7,  // B0
    0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457,  // B8
    0x0410, 0x0411, 0x0412, 0x0413, 0x0414, 0x0415, 0x0416, 0x0417,  // C0
    0x0418, 0x0419, 0x041A, 0x041B, 0x041C, 0x041D, 0x041E, 0x041F,  // C8
    0x0420, 0x0421, 0x0422, 0x0423, 0x0424, 0x0425, 0x0426, 0x0427,  // D0
    0x0428, 0x0429, 0x042A, 0x042B, 0x042C, 0x042D, 0x042E, 0x042F,  // D8
    0x0430, 0x0431, 0x0432, 0x0433, 0x0434, 0x0435, 0x0436, 0x0437,  // E0
    0x0438, 0x0439, 0x043A, 0x043B, 0x043C, 0x043D, 0x043E, 0x043F,  // E8
    0x0440, 0x0441, 0x0442, 0x0443, 0x0444, 0x0445, 0x0446, 0x0447,  // F0
    0x0448, 0x0449, 0x044A, 0x044B, 0x044C, 0x044D, 0x044E, 0x044F,  // F8
};

char EncodeCp1251(char32_t c) {
    if (c < 0x80)
        return static_cast<char>(c);
    if (c >= 0x0410 && c <= 0x044F)
        return static_cast<char>(0xC0 + (c - 0x0410));
    for (std::size_t k = 0; k < kCp1251High.size(); ++k) {
        if (kCp1251High[k] == c)
            return static_cast<char>(0x80 + k);
    }
    return '?';
}

}  // namespace

std::string ToCp1251(std::string_view utf8) {
    std::string out;
    out.reserve(utf8.size());
    ForEachChar(utf8, [&](char32_t c) { out.push_back(EncodeCp1251(c)); });
    return out;
}

std::string FromCp1251(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size() * 2);
    for (char ch : bytes) {
        const auto b = static_cast<unsigned char>(ch);
        AppendUtf8(out, b < 0x80 ? char32_t{b} : char32_t{kCp1251High[b - 0x80]});
    }
    return out;
}

std::string ThroughCp1251(std::string_view utf8) {
    return FromCp1251(ToCp1251(utf8));
}

std::string FromLatin1(std::string_view bytes) {
    const auto ascii = [](char ch) { return static_cast<unsigned char>(ch) < 0x80; };
    if (std::all_of(bytes.begin(), bytes.end(), ascii))
        return std::string(bytes);  // the same in UTF-8
    std::string out;
    out.reserve(bytes.size() * 2);
    for (char ch : bytes)
        AppendUtf8(out, static_cast<unsigned char>(ch));
    return out;
}

std::string LowBytes(std::string_view utf8) {
    std::string out;
    out.reserve(utf8.size());
    ForEachChar(utf8, [&](char32_t c) { out.push_back(static_cast<char>(c & 0xFF)); });
    return out;
}

std::string FromBytesAsciiOnly(std::string_view bytes) {
    std::string out(bytes);
    for (char& ch : out) {
        if (static_cast<unsigned char>(ch) > 0x7F)
            ch = '?';
    }
    return out;
}

namespace {

// Whether bytes[i] starts a valid UTF-8 sequence; when it does, its character is appended to
// out and i moves past it.
bool TakeValidUtf8(std::string_view bytes, std::size_t& i, std::string& out) {
    std::size_t next = i;
    bool valid = false;
    const char32_t c = detail::DecodeOne(bytes, next, valid);
    if (!valid)
        return false;
    AppendUtf8(out, c);
    i = next;
    return true;
}

// A run of byte characters inside text: decoded where valid UTF-8, each other byte kept as
// the character of its code.
void AppendByteRun(std::string& out, std::string_view bytes) {
    std::size_t i = 0;
    while (i < bytes.size()) {
        if (!TakeValidUtf8(bytes, i, out))
            AppendUtf8(out, static_cast<unsigned char>(bytes[i++]));
    }
}

}  // namespace

std::string DecodeUtf8Bytes(std::string_view text) {
    bool onlyBytes = true;
    ForEachChar(text, [&](char32_t c) { onlyBytes = onlyBytes && c <= 0xFF; });
    if (onlyBytes)
        return DecodeUtf8(LowBytes(text));
    std::string out;
    out.reserve(text.size());
    std::string run;
    ForEachChar(text, [&](char32_t c) {
        if (c <= 0xFF) {
            run.push_back(static_cast<char>(c));
            return;
        }
        AppendByteRun(out, run);
        run.clear();
        AppendUtf8(out, c);
    });
    AppendByteRun(out, run);
    return out;
}

namespace {
bool IsBlank(char c) {
    return static_cast<unsigned char>(c) <= ' ';
}
}  // namespace

std::string Trim(std::string_view text) {
    std::size_t b = 0, e = text.size();
    while (b < e && IsBlank(text[b]))
        ++b;
    while (e > b && IsBlank(text[e - 1]))
        --e;
    return std::string(text.substr(b, e - b));
}

std::string TrimLeft(std::string_view text) {
    std::size_t b = 0;
    while (b < text.size() && IsBlank(text[b]))
        ++b;
    return std::string(text.substr(b));
}

std::string ToLowerAscii(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

std::string ToUpperAscii(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    }
    return out;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && ToLowerAscii(a) == ToLowerAscii(b);
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && EqualsNoCase(text.substr(0, prefix.size()), prefix);
}

std::string ReplaceAll(std::string_view text, std::string_view from, std::string_view to) {
    std::string out;
    if (from.empty())
        return std::string(text);
    std::size_t pos = 0;
    while (true) {
        const std::size_t hit = text.find(from, pos);
        if (hit == std::string_view::npos)
            break;
        out.append(text.substr(pos, hit - pos));
        out.append(to);
        pos = hit + from.size();
    }
    out.append(text.substr(pos));
    return out;
}

std::vector<std::string> SplitLines(std::string_view text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' || text[i] == '\n') {
            lines.emplace_back(text.substr(start, i - start));
            if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
                ++i;
            start = i + 1;
        }
    }
    if (start < text.size())
        lines.emplace_back(text.substr(start));
    return lines;
}

bool ParseInteger(std::string_view text, std::int32_t& value, bool allowHexPrefix0x) {
    std::size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) {
        negative = text[i] == '-';
        ++i;
    }
    int base = 10;
    if (i < text.size() && text[i] == '$') {
        base = 16;
        ++i;
    } else if (allowHexPrefix0x && i + 1 < text.size() && text[i] == '0' &&
               (text[i + 1] == 'x' || text[i + 1] == 'X')) {
        base = 16;
        i += 2;
    }
    if (i >= text.size())
        return false;
    std::int64_t acc = 0;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        int d;
        if (c >= '0' && c <= '9') {
            d = c - '0';
        } else if (base == 16 && c >= 'a' && c <= 'f') {
            d = c - 'a' + 10;
        } else if (base == 16 && c >= 'A' && c <= 'F') {
            d = c - 'A' + 10;
        } else {
            return false;
        }
        acc = acc * base + d;
        // Hexadecimal numbers may use all 32 bits (as the platform reads them); decimal ones
        // must fit the signed range.
        if (acc > (base == 16 ? std::int64_t{0xFFFFFFFF} : std::int64_t{0x80000000}))
            return false;
    }
    if (base == 16) {
        acc = static_cast<std::int32_t>(static_cast<std::uint32_t>(acc));
    } else if (!negative && acc > 0x7FFFFFFF) {
        return false;
    }
    value = static_cast<std::int32_t>(negative ? -acc : acc);
    return true;
}

std::string UrlEncodeForm(std::string_view utf8) {
    static constexpr std::string_view kKept = "!$'()*-.@_";
    std::string out;
    out.reserve(utf8.size() * 3);
    auto percent = [&](unsigned char b) {
        char buf[4];
        std::snprintf(buf, sizeof buf, "%%%02X", b);
        out.append(buf);
    };
    ForEachChar(utf8, [&](char32_t c) {
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
            (c < 0x80 && kKept.find(static_cast<char>(c)) != std::string_view::npos)) {
            out.push_back(static_cast<char>(c));
        } else if (c == ' ') {
            out.push_back('+');
        } else {
            std::string bytes;
            AppendUtf8(bytes, c);
            for (char b : bytes)
                percent(static_cast<unsigned char>(b));
        }
    });
    return out;
}

}  // namespace korvalo
