#include "services/endpoint/http_params.h"

#include "core/text.h"

namespace korvalo {

namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// "+" as a blank, "%XX" as the byte XX.
std::string PercentDecode(std::string_view piece) {
    std::string out;
    out.reserve(piece.size());
    for (std::size_t i = 0; i < piece.size(); ++i) {
        const char c = piece[i];
        if (c == '+') {
            out.push_back(' ');
        } else if (c == '%') {
            const int hi = i + 1 < piece.size() ? HexDigit(piece[i + 1]) : -1;
            const int lo = i + 2 < piece.size() ? HexDigit(piece[i + 2]) : -1;
            if (hi < 0 || lo < 0)
                throw InvalidPercentEscape("invalid percent escape in parameter \"" +
                                           FromLatin1(piece) + "\"");
            out.push_back(static_cast<char>(hi * 16 + lo));
            i += 2;
        } else {
            out.push_back(c);
        }
    }
    return out;
}

}  // namespace

namespace {

enum class Charset { Unknown, Utf8, Cp1251, Latin1 };

Charset CharsetOf(std::string_view name) {
    const std::string cs = ToLowerAscii(Trim(name));
    if (cs == "utf-8" || cs == "utf8")
        return Charset::Utf8;
    if (cs == "windows-1251" || cs == "cp1251")
        return Charset::Cp1251;
    if (cs == "iso-8859-1" || cs == "latin1" || cs == "us-ascii")
        return Charset::Latin1;
    return Charset::Unknown;
}

}  // namespace

std::string DecodeCharset(std::string_view bytes, std::string_view charset) {
    switch (CharsetOf(charset)) {
        case Charset::Utf8:
            return DecodeUtf8(bytes);
        case Charset::Cp1251:
            return FromCp1251(bytes);
        case Charset::Latin1:
        case Charset::Unknown:
            break;
    }
    return FromLatin1(bytes);
}

bool IsKnownCharset(std::string_view charset) {
    return CharsetOf(charset) != Charset::Unknown;
}

std::vector<std::string> DecodeFormParams(std::string_view encoded, std::string_view charset) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < encoded.size()) {
        std::size_t end = encoded.find('&', start);
        if (end == std::string_view::npos)
            end = encoded.size();
        lines.push_back(DecodeCharset(PercentDecode(encoded.substr(start, end - start)), charset));
        start = end + 1;
    }
    return lines;
}

std::string ContentTypeCharset(std::string_view contentType) {
    std::size_t pos = 0;
    while ((pos = contentType.find(';', pos)) != std::string_view::npos) {
        ++pos;
        const std::size_t end = contentType.find(';', pos);
        const std::string param = Trim(contentType.substr(
            pos, end == std::string_view::npos ? std::string_view::npos : end - pos));
        const std::size_t eq = param.find('=');
        if (eq != std::string::npos && EqualsNoCase(Trim(param.substr(0, eq)), "charset")) {
            std::string value = Trim(param.substr(eq + 1));
            if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
                value = value.substr(1, value.size() - 2);
            return value;
        }
    }
    return {};
}

std::string ContentTypeMedia(std::string_view contentType) {
    return Trim(contentType.substr(0, contentType.find(';')));
}

}  // namespace korvalo
