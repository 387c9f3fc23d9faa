#include "platform/crypto/store_files.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <ctime>
#include <fstream>
#include <system_error>

#include <openssl/err.h>
#include <openssl/x509v3.h>

#include "core/text.h"
#include "platform/crypto/crypt_errors.h"

namespace korvalo {

namespace fs = std::filesystem;
using SysClock = std::chrono::system_clock;

BioPtr MemBio(std::string_view bytes) {
    // OpenSSL takes an int length (and a negative one as "up to the first NUL"): a longer
    // buffer gets no BIO at all rather than a cut one.
    if (bytes.size() > static_cast<std::size_t>(INT_MAX))
        return BioPtr();
    return BioPtr(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
}

// Reads a whole small file; returns 0 or a platform error code.
std::uint32_t ReadSmallFile(const fs::path& file, std::string& out) {
    std::error_code ec;
    const auto size = fs::file_size(file, ec);
    if (ec)
        return ErrorCodeFromErrno(ec.value());
    if (size > kMaxStoreFileSize)
        return kErrorFileTooLarge;
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        const int err = errno;
        return ErrorCodeFromErrno(err != 0 ? err : EIO);
    }
    out.assign(static_cast<std::size_t>(size), '\0');
    in.read(out.data(), static_cast<std::streamsize>(out.size()));
    out.resize(static_cast<std::size_t>(in.gcount()));
    if (in.bad())
        return kErrorReadFault;
    return 0;
}

bool HasExtensionNoCase(const fs::path& file, std::string_view ext) {
    return EqualsNoCase(file.extension().string(), ext);
}

std::string NamePart(const X509_NAME* name, std::string_view oid) {
    if (name == nullptr)
        return {};
    const std::string oidText(oid);
    Asn1ObjectPtr obj(OBJ_txt2obj(oidText.c_str(), 1));
    if (!obj) {
        ERR_clear_error();
        return {};
    }
    const int index = X509_NAME_get_index_by_OBJ(name, obj.get(), -1);
    if (index < 0)
        return {};
    const ASN1_STRING* data = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, index));
    unsigned char* utf8 = nullptr;
    const int len = ASN1_STRING_to_UTF8(&utf8, data);
    if (len < 0) {
        ERR_clear_error();
        return {};
    }
    OsslMem<unsigned char> hold(utf8);
    return std::string(reinterpret_cast<const char*>(utf8), static_cast<std::size_t>(len));
}

SysClock::time_point ToTimePoint(const ASN1_TIME* t) {
    std::tm tm{};
    if (t == nullptr || ASN1_TIME_to_tm(t, &tm) != 1) {
        ERR_clear_error();
        return {};
    }
    return SysClock::from_time_t(timegm(&tm));
}

// Serial bytes least significant first: the DER INTEGER content, reversed.
std::string SerialBytesOf(X509* cert) {
    const ASN1_INTEGER* serial = X509_get0_serialNumber(cert);
    if (serial == nullptr || ASN1_STRING_length(serial) == 0)
        return {};
    unsigned char* der = nullptr;
    const int len = i2d_ASN1_INTEGER(serial, &der);
    if (len <= 2) {
        ERR_clear_error();
        OPENSSL_free(der);
        return {};
    }
    OsslMem<unsigned char> hold(der);
    // Skip tag and length octets.
    std::size_t pos = 1;
    const unsigned char lenByte = der[pos++];
    if (lenByte & 0x80)
        pos += lenByte & 0x7F;
    if (pos >= static_cast<std::size_t>(len))
        return {};
    std::string bytes(reinterpret_cast<const char*>(der + pos),
                      static_cast<std::size_t>(len) - pos);
    std::reverse(bytes.begin(), bytes.end());
    return bytes;
}

bool IsCa(X509* cert) {
    const int ca = X509_check_ca(cert);
    ERR_clear_error();
    return ca != 0;
}

bool KeyMatches(X509* cert, EVP_PKEY* key) {
    const int ok = X509_check_private_key(cert, key);
    ERR_clear_error();
    return ok == 1;
}

}  // namespace korvalo
