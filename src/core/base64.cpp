#include "core/base64.h"

#include <openssl/evp.h>

#include <algorithm>
#include <climits>

namespace korvalo {

namespace {

// OpenSSL's block functions take int lengths: longer texts go through in pieces of this many
// bytes (a multiple of 3, so that every piece but the last encodes without padding, and its
// encoding, a multiple of 4, decodes on its own).
constexpr std::size_t kPieceBytes = 3 * (std::size_t{1} << 24);  // 48 MiB
static_assert(kPieceBytes / 3 * 4 <= static_cast<std::size_t>(INT_MAX));

}  // namespace

std::string Base64Encode(std::string_view bytes) {
    return detail::Base64EncodeInPieces(bytes, kPieceBytes);
}

std::string detail::Base64EncodeInPieces(std::string_view bytes, std::size_t pieceBytes) {
    std::string out(4 * ((bytes.size() + 2) / 3), '\0');
    std::size_t written = 0;
    for (std::size_t at = 0; at < bytes.size(); at += pieceBytes) {
        const std::size_t piece = std::min(pieceBytes, bytes.size() - at);
        const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data() + written),
                                      reinterpret_cast<const unsigned char*>(bytes.data() + at),
                                      static_cast<int>(piece));
        written += static_cast<std::size_t>(n);
    }
    out.resize(written);
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
    return detail::Base64DecodeInPieces(text, kPieceBytes);
}

std::string detail::Base64DecodeInPieces(std::string_view text, std::size_t pieceBytes) {
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
    const std::size_t pieceText = pieceBytes / 3 * 4;
    std::size_t written = 0;
    for (std::size_t at = 0; at < clean.size(); at += pieceText) {
        const std::size_t piece = std::min(pieceText, clean.size() - at);
        const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data() + written),
                                      reinterpret_cast<const unsigned char*>(clean.data() + at),
                                      static_cast<int>(piece));
        if (n < 0)
            return {};
        written += static_cast<std::size_t>(n);
    }
    out.resize(written - padding);
    return out;
}

}  // namespace korvalo
