#include "platform/crypto/pkcs12_file.h"

#include <optional>
#include <utility>
#include <vector>

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>

#include "platform/crypto/crypt_errors.h"

namespace korvalo {

namespace fs = std::filesystem;

namespace {

int RefusePassword(char*, int, int, void*) {
    return -1;
}

struct Pkcs12Contents {
    std::vector<std::pair<X509Ptr, std::string>> certificates;  // with local key id
    bool hasKey = false;
    std::string keyId;
    bool unreadableSafe = false;
};

std::string LocalKeyId(const PKCS12_SAFEBAG* bag) {
    const ASN1_TYPE* attr = PKCS12_SAFEBAG_get0_attr(bag, NID_localKeyID);
    if (attr == nullptr || attr->type != V_ASN1_OCTET_STRING)
        return {};
    const ASN1_OCTET_STRING* os = attr->value.octet_string;
    return std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(os)),
                       static_cast<std::size_t>(ASN1_STRING_length(os)));
}

void CollectBags(const STACK_OF(PKCS12_SAFEBAG) * bags, Pkcs12Contents& out, int depth) {
    if (bags == nullptr || depth > 4)
        return;
    for (int i = 0; i < sk_PKCS12_SAFEBAG_num(bags); ++i) {
        const PKCS12_SAFEBAG* bag = sk_PKCS12_SAFEBAG_value(bags, i);
        switch (PKCS12_SAFEBAG_get_nid(bag)) {
            case NID_certBag:
                if (PKCS12_SAFEBAG_get_bag_nid(bag) == NID_x509Certificate) {
                    X509Ptr cert(PKCS12_SAFEBAG_get1_cert(bag));
                    if (cert)
                        out.certificates.emplace_back(std::move(cert), LocalKeyId(bag));
                    ERR_clear_error();
                }
                break;
            case NID_keyBag:
            case NID_pkcs8ShroudedKeyBag:
                if (!out.hasKey) {
                    out.hasKey = true;
                    out.keyId = LocalKeyId(bag);
                }
                break;
            case NID_safeContentsBag:
                CollectBags(PKCS12_SAFEBAG_get0_safes(bag), out, depth + 1);
                break;
            default:
                break;
        }
    }
}

// Reads what a PKCS#12 file shows without its password; false when it is no PKCS#12.
bool ReadPkcs12Bags(PKCS12* p12, Pkcs12Contents& out) {
    Pkcs7StackPtr safes(PKCS12_unpack_authsafes(p12));
    if (!safes) {
        ERR_clear_error();
        return false;
    }
    for (int i = 0; i < sk_PKCS7_num(safes.get()); ++i) {
        PKCS7* p7 = sk_PKCS7_value(safes.get(), i);
        SafeBagStackPtr bags;
        if (PKCS7_type_is_data(p7)) {
            bags.reset(PKCS12_unpack_p7data(p7));
        } else if (PKCS7_type_is_encrypted(p7)) {
            // Without a password, or with the empty one.
            bags.reset(PKCS12_unpack_p7encdata(p7, nullptr, 0));
            if (!bags)
                bags.reset(PKCS12_unpack_p7encdata(p7, "", 0));
            if (!bags)
                out.unreadableSafe = true;
        }
        ERR_clear_error();
        CollectBags(bags.get(), out, 0);
    }
    return true;
}

std::optional<std::size_t> ChoosePkcs12Certificate(const Pkcs12Contents& p12) {
    const auto& certs = p12.certificates;
    if (certs.empty())
        return std::nullopt;
    if (!p12.keyId.empty()) {
        for (std::size_t i = 0; i < certs.size(); ++i) {
            if (certs[i].second == p12.keyId)
                return i;
        }
    }
    if (certs.size() == 1)
        return 0;
    for (std::size_t i = 0; i < certs.size(); ++i) {
        if (!IsCa(certs[i].first.get()))
            return i;
    }
    return 0;
}

// A companion certificate file (".crt" or ".cer", PEM or DER) beside a PKCS#12 file.
X509Ptr ReadCompanionCertificate(const fs::path& p12File) {
    for (const char* ext : {".crt", ".cer", ".CRT", ".CER"}) {
        fs::path candidate = p12File;
        candidate.replace_extension(ext);
        std::error_code ec;
        if (!fs::is_regular_file(candidate, ec))
            continue;
        std::string content;
        if (ReadSmallFile(candidate, content) != 0)
            continue;
        BioPtr bio = MemBio(content);
        X509Ptr cert(PEM_read_bio_X509(bio.get(), nullptr, RefusePassword, nullptr));
        if (!cert) {
            const unsigned char* p = reinterpret_cast<const unsigned char*>(content.data());
            cert.reset(d2i_X509(nullptr, &p, static_cast<long>(content.size())));
        }
        ERR_clear_error();
        if (cert)
            return cert;
    }
    return nullptr;
}

}  // namespace

ListedCertificate ReadPkcs12StoreCertificate(std::string_view content, const fs::path& file) {
    ListedCertificate listed;
    BioPtr bio = MemBio(content);
    Pkcs12Ptr p12(d2i_PKCS12_bio(bio.get(), nullptr));
    ERR_clear_error();
    Pkcs12Contents bags;
    if (!p12 || !ReadPkcs12Bags(p12.get(), bags)) {
        listed.problem = "файл повреждён или не является файлом PKCS#12";
        return listed;
    }
    if (!bags.hasKey && !bags.unreadableSafe) {
        listed.problem = "в файле нет закрытого ключа";
        return listed;
    }
    if (const auto index = ChoosePkcs12Certificate(bags)) {
        listed.cert = std::move(bags.certificates[*index].first);
    } else if (bags.unreadableSafe) {
        listed.cert = ReadCompanionCertificate(file);
        if (!listed.cert)
            listed.problem =
                "сертификат защищён паролем, а файла сертификата (.crt, .cer) рядом нет";
    } else {
        listed.problem = "в файле нет сертификата";
    }
    return listed;
}

KeyResult LoadPkcs12Key(std::string_view content, IKeyPasswordPrompt* prompt,
                        const std::string& what) {
    BioPtr bio = MemBio(content);
    Pkcs12Ptr p12(d2i_PKCS12_bio(bio.get(), nullptr));
    if (!p12) {
        ERR_clear_error();
        return KeyError(kNteBadKeyset);
    }
    auto parse = [&](const char* password, KeyResult& out) {
        EVP_PKEY* key = nullptr;
        X509* cert = nullptr;
        STACK_OF(X509)* ca = nullptr;
        const int ok = PKCS12_parse(p12.get(), password, &key, &cert, &ca);
        X509Ptr holdCert(cert);
        X509StackPtr holdCa(ca);
        out.key.reset(key);
        ERR_clear_error();
        return ok == 1;
    };
    KeyResult result;
    // Files without a password (or with the empty one) open silently.
    if (parse(nullptr, result))
        return result.key ? std::move(result) : KeyError(kCryptENoKeyProperty);
    if (prompt == nullptr)
        return KeyError(kNteSilentContext);
    const bool hasMac = PKCS12_mac_present(p12.get()) == 1;
    bool retry = false;
    for (;;) {
        std::optional<std::string> password = prompt->AskKeyPassword(what, retry);
        if (!password)
            return KeyError(kErrorCancelled);
        if (parse(password->c_str(), result))
            return result.key ? std::move(result) : KeyError(kCryptENoKeyProperty);
        const bool macOk = hasMac && PKCS12_verify_mac(p12.get(), password->c_str(),
                                                       static_cast<int>(password->size())) == 1;
        ERR_clear_error();
        if (macOk)  // the password is right, the contents are not
            return KeyError(kNteBadKey);
        retry = true;
    }
}

}  // namespace korvalo
