#include "platform/crypto/pem_file.h"

#include <optional>
#include <vector>

#include <openssl/err.h>
#include <openssl/pem.h>

#include "platform/crypto/crypt_errors.h"

namespace korvalo {

namespace {

struct PemContents {
    std::vector<X509Ptr> certificates;
    bool hasKey = false;
    bool keyEncrypted = false;
};

bool IsKeyBlock(const std::string& name) {
    return name == "PRIVATE KEY" || name == "ENCRYPTED PRIVATE KEY" ||
           (name.size() > 12 && name.compare(name.size() - 12, 12, " PRIVATE KEY") == 0);
}

// Walks the PEM blocks; false when the file is not PEM or a block is damaged.
[[nodiscard]] bool ReadPemBlocks(std::string_view content, PemContents& out) {
    BioPtr bio = MemBio(content);
    for (;;) {
        char* name = nullptr;
        char* header = nullptr;
        unsigned char* data = nullptr;
        long len = 0;
        if (PEM_read_bio(bio.get(), &name, &header, &data, &len) != 1) {
            const unsigned long err = ERR_peek_last_error();
            ERR_clear_error();
            const bool atEnd =
                ERR_GET_LIB(err) == ERR_LIB_PEM && ERR_GET_REASON(err) == PEM_R_NO_START_LINE;
            return atEnd && (!out.certificates.empty() || out.hasKey);
        }
        OsslMem<char> holdName(name);
        OsslMem<char> holdHeader(header);
        OsslMem<unsigned char> holdData(data);
        const std::string blockName(name);
        const unsigned char* p = data;
        if (blockName == "CERTIFICATE" || blockName == "X509 CERTIFICATE") {
            X509Ptr cert(d2i_X509(nullptr, &p, len));
            if (!cert) {
                ERR_clear_error();
                return false;
            }
            out.certificates.push_back(std::move(cert));
        } else if (blockName == "TRUSTED CERTIFICATE") {
            X509Ptr cert(d2i_X509_AUX(nullptr, &p, len));
            if (!cert) {
                ERR_clear_error();
                return false;
            }
            out.certificates.push_back(std::move(cert));
        } else if (IsKeyBlock(blockName)) {
            out.hasKey = true;
            if (blockName == "ENCRYPTED PRIVATE KEY" ||
                std::string_view(header).find("ENCRYPTED") != std::string_view::npos) {
                out.keyEncrypted = true;
            }
        }
    }
}

int RefusePassword(char*, int, int, void*) {
    return -1;
}

// The personal certificate of a PEM file (index into certificates), or nothing.
[[nodiscard]] std::optional<std::size_t> ChoosePemCertificate(std::string_view content,
                                                              PemContents& pem) {
    if (pem.certificates.empty())
        return std::nullopt;
    if (pem.certificates.size() == 1)
        return 0;
    if (!pem.keyEncrypted) {
        BioPtr bio = MemBio(content);
        EvpPkeyPtr key(PEM_read_bio_PrivateKey(bio.get(), nullptr, RefusePassword, nullptr));
        ERR_clear_error();
        if (key) {
            for (std::size_t i = 0; i < pem.certificates.size(); ++i) {
                if (KeyMatches(pem.certificates[i].get(), key.get()))
                    return i;
            }
        }
    }
    for (std::size_t i = 0; i < pem.certificates.size(); ++i) {
        if (!IsCa(pem.certificates[i].get()))
            return i;
    }
    return 0;
}

}  // namespace

ListedCertificate ReadPemStoreCertificate(std::string_view content) {
    ListedCertificate listed;
    PemContents pem;
    if (!ReadPemBlocks(content, pem)) {
        listed.problem = "файл повреждён или не является файлом PEM";
        return listed;
    }
    if (!pem.hasKey) {
        listed.problem = "в файле нет закрытого ключа";
        return listed;
    }
    const auto index = ChoosePemCertificate(content, pem);
    if (!index) {
        listed.problem = "в файле нет сертификата";
        return listed;
    }
    listed.cert = std::move(pem.certificates[*index]);
    return listed;
}

KeyResult LoadPemKey(std::string_view content, IKeyPasswordPrompt* prompt,
                     const std::string& what) {
    PemPasswordState state;
    state.prompt = prompt;
    state.what = what;
    for (;;) {
        state.asked = false;
        BioPtr bio = MemBio(content);
        EvpPkeyPtr key(PEM_read_bio_PrivateKey(bio.get(), nullptr, AskPemPassword, &state));
        const unsigned long err = ERR_peek_last_error();
        ERR_clear_error();
        if (key) {
            KeyResult r;
            r.key = std::move(key);
            return r;
        }
        if (state.cancelled)
            return KeyError(kErrorCancelled);
        if (state.noPrompt)
            return KeyError(kNteSilentContext);
        if (state.asked) {  // a password was given and did not open the key
            state.retry = true;
            continue;
        }
        if (ERR_GET_LIB(err) == ERR_LIB_PEM && ERR_GET_REASON(err) == PEM_R_NO_START_LINE)
            return KeyError(kCryptENoKeyProperty);
        return KeyError(kNteBadKey);
    }
}

}  // namespace korvalo
