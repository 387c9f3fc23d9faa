#include "platform/crypto/cert_store.h"

#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <optional>
#include <system_error>

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/x509v3.h>

#include "core/text.h"
#include "platform/crypto/crypt_message.h"

namespace korvalo {

namespace fs = std::filesystem;
using SysClock = std::chrono::system_clock;

namespace {

// ---- handles used only here ------------------------------------------------------------
struct Pkcs7StackDeleter {
    void operator()(STACK_OF(PKCS7) * p) const noexcept { sk_PKCS7_pop_free(p, PKCS7_free); }
};
struct SafeBagStackDeleter {
    void operator()(STACK_OF(PKCS12_SAFEBAG) * p) const noexcept {
        sk_PKCS12_SAFEBAG_pop_free(p, PKCS12_SAFEBAG_free);
    }
};
struct X509StackDeleter {
    void operator()(STACK_OF(X509) * p) const noexcept { sk_X509_pop_free(p, X509_free); }
};
struct OpenSslFree {
    void operator()(void* p) const noexcept { OPENSSL_free(p); }
};
using Pkcs7StackPtr = std::unique_ptr<STACK_OF(PKCS7), Pkcs7StackDeleter>;
using SafeBagStackPtr = std::unique_ptr<STACK_OF(PKCS12_SAFEBAG), SafeBagStackDeleter>;
using X509StackPtr = std::unique_ptr<STACK_OF(X509), X509StackDeleter>;
template <typename T>
using OsslMem = std::unique_ptr<T, OpenSslFree>;

// Store files are small; anything larger is not a certificate file.
constexpr std::uintmax_t kMaxStoreFileSize = 4u * 1024 * 1024;

BioPtr MemBio(std::string_view bytes) {
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

bool HasExtensionNoCase(const fs::path& file, std::string_view ext) {
    return EqualsNoCase(file.extension().string(), ext);
}

// ---- PEM files ---------------------------------------------------------------------------

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
bool ReadPemBlocks(std::string_view content, PemContents& out) {
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
std::optional<std::size_t> ChoosePemCertificate(std::string_view content, PemContents& pem) {
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

// ---- PKCS#12 files -----------------------------------------------------------------------

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

// ---- password prompts --------------------------------------------------------------------

struct PemPasswordState {
    IKeyPasswordPrompt* prompt = nullptr;
    std::string what;
    bool retry = false;
    bool asked = false;
    bool cancelled = false;
    bool noPrompt = false;
};

int AskPemPassword(char* buf, int size, int, void* u) {
    auto* state = static_cast<PemPasswordState*>(u);
    if (state->asked || state->cancelled || state->noPrompt)
        return -1;  // one answer per attempt
    if (state->prompt == nullptr) {
        state->noPrompt = true;
        return -1;
    }
    std::optional<std::string> password = state->prompt->AskKeyPassword(state->what, state->retry);
    if (!password) {
        state->cancelled = true;
        return -1;
    }
    state->asked = true;
    const int len = static_cast<int>(std::min<std::size_t>(password->size(), size));
    std::memcpy(buf, password->data(), static_cast<std::size_t>(len));
    return len;
}

KeyResult KeyError(std::uint32_t code) {
    KeyResult r;
    r.error = code;
    r.message = CryptErrorText(code);
    return r;
}

}  // namespace

// ---- free functions ----------------------------------------------------------------------

std::string CryptErrorText(std::uint32_t code) {
    switch (code) {
        case 0:
            return "Операция успешно завершена.";
        case kErrorFileNotFound:
            return "Не удается найти указанный файл.";
        case kErrorPathNotFound:
            return "Не удается найти указанный путь.";
        case kErrorAccessDenied:
            return "Отказано в доступе.";
        case kErrorNotEnoughMemory:
            return "Недостаточно памяти для обработки команды.";
        case kErrorReadFault:
            return "Системе не удается произвести чтение с указанного устройства.";
        case kErrorFileTooLarge:
            return "Размер файла превышает установленное ограничение.";
        case kErrorCancelled:
            return "Операция была отменена пользователем.";
        case kNteBadKey:
            return "Неправильный ключ.";
        case kNteBadAlgId:
            return "Указан неправильный алгоритм.";
        case kNteNoMemory:
            return "Недостаточно памяти для выполнения операции.";
        case kNteBadKeyset:
            return "Набор ключей не существует.";
        case kNteFail:
            return "Внутренняя ошибка.";
        case kNteSilentContext:
            return "Поставщик не смог выполнить действие, поскольку контекст был получен как "
                   "автоматический.";
        case kCryptENoKeyProperty:
            return "Не удается найти сертификат и закрытый ключ для расшифровки.";
        default:
            return "Неизвестная ошибка " + std::to_string(code);
    }
}

std::uint32_t ErrorCodeFromErrno(int err) {
    switch (err) {
        case ENOENT:
            return kErrorFileNotFound;
        case ENOTDIR:
        case ENAMETOOLONG:
            return kErrorPathNotFound;
        case EACCES:
        case EPERM:
        case EISDIR:
            return kErrorAccessDenied;
        case ENOMEM:
            return kErrorNotEnoughMemory;
        case EFBIG:
            return kErrorFileTooLarge;
        default:
            return kErrorReadFault;
    }
}

std::string SerialToHex(std::string_view serialBytes, bool grouping) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    const std::size_t n = serialBytes.size();
    std::string text;
    text.reserve(n * 3);
    // Built from the most significant byte (the last stored) down to index 0; a space
    // follows every byte whose index is even and above 0.
    for (std::size_t k = n; k-- > 0;) {
        const auto b = static_cast<unsigned char>(serialBytes[k]);
        text.push_back(kHex[b >> 4]);
        text.push_back(kHex[b & 0x0F]);
        if (grouping && k > 0 && k % 2 == 0)
            text.push_back(' ');
    }
    return text;
}

fs::path DefaultCertStoreLocation() {
    if (const char* env = std::getenv("KORVALO_CERT_STORE"); env != nullptr && *env != '\0')
        return fs::path(env);
    std::string home;
    if (const char* h = std::getenv("HOME"); h != nullptr && *h != '\0') {
        home = h;
    } else {
        std::vector<char> buf(16384);
        passwd pw{};
        passwd* found = nullptr;
        if (getpwuid_r(getuid(), &pw, buf.data(), buf.size(), &found) == 0 && found != nullptr)
            home = found->pw_dir;
    }
    return fs::path(home) / ".local" / "share" / "korvalo" / "certs" / "MY";
}

// ---- StoreCertificate --------------------------------------------------------------------

StoreCertificate::StoreCertificate(X509Ptr cert, fs::path file, bool pkcs12)
    : cert_(std::move(cert)), file_(std::move(file)), pkcs12_(pkcs12) {
    unsigned char* der = nullptr;
    const int len = i2d_X509(cert_.get(), &der);
    if (len > 0) {
        OsslMem<unsigned char> hold(der);
        der_.assign(reinterpret_cast<const char*>(der), static_cast<std::size_t>(len));
    }
    ERR_clear_error();
    serial_ = SerialBytesOf(cert_.get());
    notBefore_ = ToTimePoint(X509_get0_notBefore(cert_.get()));
    notAfter_ = ToTimePoint(X509_get0_notAfter(cert_.get()));
}

std::string StoreCertificate::SubjectPart(std::string_view oid) const {
    return NamePart(X509_get_subject_name(cert_.get()), oid);
}

std::string StoreCertificate::IssuerPart(std::string_view oid) const {
    return NamePart(X509_get_issuer_name(cert_.get()), oid);
}

int StoreCertificate::VerifyTimeValidity(SysClock::time_point at) const noexcept {
    if (at < notBefore_)
        return -1;
    if (at > notAfter_)
        return 1;
    return 0;
}

bool StoreCertificate::IsValidNow() const noexcept {
    return VerifyTimeValidity(SysClock::now()) == 0;
}

std::string StoreCertificate::SerialText(bool grouping) const {
    return SerialToHex(serial_, grouping);
}

std::string StoreCertificate::SignatureAlgorithmOid() const {
    const X509_ALGOR* alg = nullptr;
    X509_get0_signature(nullptr, &alg, cert_.get());
    if (alg == nullptr)
        return {};
    const ASN1_OBJECT* obj = nullptr;
    X509_ALGOR_get0(&obj, nullptr, nullptr, alg);
    char buf[128];
    const int len = OBJ_obj2txt(buf, sizeof buf, obj, 1);
    if (len <= 0 || len >= static_cast<int>(sizeof buf))
        return {};
    return std::string(buf, static_cast<std::size_t>(len));
}

KeyResult StoreCertificate::LoadPrivateKey(IKeyPasswordPrompt* prompt) const {
    EnsureGostEngine();
    KeyResult result = pkcs12_ ? LoadFromPkcs12(prompt) : LoadFromPem(prompt);
    ERR_clear_error();
    if (result.key && !KeyMatches(cert_.get(), result.key.get()))
        return KeyError(kCryptENoKeyProperty);
    return result;
}

KeyResult StoreCertificate::LoadFromPem(IKeyPasswordPrompt* prompt) const {
    std::string content;
    if (ReadSmallFile(file_, content) != 0)
        return KeyError(kNteBadKeyset);
    PemPasswordState state;
    state.prompt = prompt;
    state.what = file_.filename().string();
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

KeyResult StoreCertificate::LoadFromPkcs12(IKeyPasswordPrompt* prompt) const {
    std::string content;
    if (ReadSmallFile(file_, content) != 0)
        return KeyError(kNteBadKeyset);
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
    const std::string what = file_.filename().string();
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

// ---- CertStore ---------------------------------------------------------------------------

std::unique_ptr<CertStore> CertStore::Open(const fs::path& folder) {
    EnsureGostEngine();
    std::error_code ec;
    if (folder.empty() || !fs::is_directory(folder, ec))
        return nullptr;
    fs::directory_iterator it(folder, ec);
    if (ec)
        return nullptr;
    std::vector<fs::path> files;
    for (; it != fs::directory_iterator(); it.increment(ec)) {
        if (ec)
            return nullptr;
        const fs::path& p = it->path();
        if (!HasExtensionNoCase(p, ".pem") && !HasExtensionNoCase(p, ".p12") &&
            !HasExtensionNoCase(p, ".pfx")) {
            continue;
        }
        std::error_code typeEc;
        if (!fs::is_regular_file(p, typeEc))  // follows links
            continue;
        files.push_back(p);
    }
    if (ec)
        return nullptr;
    std::sort(files.begin(), files.end(), [](const fs::path& a, const fs::path& b) {
        return a.filename().native() < b.filename().native();
    });
    std::unique_ptr<CertStore> store(new CertStore(folder));
    for (const fs::path& file : files)
        store->ReadFile(file);
    ERR_clear_error();
    return store;
}

void CertStore::ReadFile(const fs::path& file) {
    auto problem = [&](std::string reason) { problems_.push_back({file, std::move(reason)}); };
    std::string content;
    if (const std::uint32_t err = ReadSmallFile(file, content); err != 0) {
        problem("файл не удалось прочитать: " + CryptErrorText(err));
        return;
    }
    X509Ptr chosen;
    const bool pkcs12 = !HasExtensionNoCase(file, ".pem");
    if (!pkcs12) {
        PemContents pem;
        if (!ReadPemBlocks(content, pem)) {
            problem("файл повреждён или не является файлом PEM");
            return;
        }
        if (!pem.hasKey) {
            problem("в файле нет закрытого ключа");
            return;
        }
        const auto index = ChoosePemCertificate(content, pem);
        if (!index) {
            problem("в файле нет сертификата");
            return;
        }
        chosen = std::move(pem.certificates[*index]);
    } else {
        BioPtr bio = MemBio(content);
        Pkcs12Ptr p12(d2i_PKCS12_bio(bio.get(), nullptr));
        ERR_clear_error();
        Pkcs12Contents bags;
        if (!p12 || !ReadPkcs12Bags(p12.get(), bags)) {
            problem("файл повреждён или не является файлом PKCS#12");
            return;
        }
        if (!bags.hasKey && !bags.unreadableSafe) {
            problem("в файле нет закрытого ключа");
            return;
        }
        if (const auto index = ChoosePkcs12Certificate(bags)) {
            chosen = std::move(bags.certificates[*index].first);
        } else if (bags.unreadableSafe) {
            chosen = ReadCompanionCertificate(file);
            if (!chosen) {
                problem("сертификат защищён паролем, а файла сертификата (.crt, .cer) рядом нет");
                return;
            }
        } else {
            problem("в файле нет сертификата");
            return;
        }
    }
    StoreCertificate cert(std::move(chosen), file, pkcs12);
    if (cert.SerialBytes().empty() || cert.Der().empty()) {
        problem("у сертификата нет серийного номера");
        return;
    }
    certificates_.push_back(std::move(cert));
}

const StoreCertificate* CertStore::FindFirstBySerialText(std::string_view text,
                                                         bool grouping) const {
    for (const StoreCertificate& cert : certificates_) {
        if (cert.SerialText(grouping) == text)
            return &cert;
    }
    return nullptr;
}

}  // namespace korvalo
