#include "core/digest.h"

#include <openssl/evp.h>

#include <cstdio>

namespace korvalo {

std::string Md5Hex(std::string_view bytes) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EVP_Digest(bytes.data(), bytes.size(), md, &len, EVP_md5(), nullptr);
    std::string out;
    out.reserve(2 * len);
    for (unsigned int i = 0; i < len; ++i) {
        char buf[3];
        std::snprintf(buf, sizeof buf, "%02x", md[i]);
        out.append(buf);
    }
    return out;
}

}  // namespace korvalo
