#include "core/base64.h"

#include <openssl/evp.h>

namespace korvalo {

std::string Base64Encode(std::string_view bytes) {
    std::string out(4 * ((bytes.size() + 2) / 3), '\0');
    if (bytes.empty())
        return out;
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                  reinterpret_cast<const unsigned char*>(bytes.data()),
                                  static_cast<int>(bytes.size()));
    out.resize(static_cast<std::size_t>(n));
    return out;
}

namespace {

std::string Wrap(const std::string& text, std::size_t width, bool breakAfterLast) {
    std::string out;
    out.reserve(text.size() + 2 * (text.size() / width + 1));
    for (std::size_t pos = 0; pos < text.size(); pos += width) {
        const std::size_t len = std::min(width, text.size() - pos);
        out.append(text, pos, len);
        if (len == width || breakAfterLast)
            out.append("\r\n");
    }
    return out;
}

bool IsAlphabet(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
           c == '/';
}

}  // namespace

std::string Base64EncodeLines64(std::string_view bytes) {
    return Wrap(Base64Encode(bytes), 64, true);
}

std::string Base64EncodeLines76(std::string_view bytes) {
    return Wrap(Base64Encode(bytes), 76, false);
}

std::string Base64Decode(std::string_view text) {
    std::string clean;
    clean.reserve(text.size());
    for (char c : text) {
        if (c == '=')
            break;
        if (IsAlphabet(c))
            clean.push_back(c);
    }
    const std::size_t rest = clean.size() % 4;
    if (rest == 1)
        clean.pop_back();  // six bits make no byte
    const std::size_t padding = clean.size() % 4 == 0 ? 0 : 4 - clean.size() % 4;
    clean.append(padding, '=');
    std::string out(clean.size() / 4 * 3, '\0');
    if (clean.empty())
        return out;
    const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                  reinterpret_cast<const unsigned char*>(clean.data()),
                                  static_cast<int>(clean.size()));
    if (n < 0)
        return {};
    out.resize(static_cast<std::size_t>(n) - padding);
    return out;
}

}  // namespace korvalo
