#include "platform/crypto/cert_store.h"

#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <system_error>

#include <openssl/err.h>
#include <openssl/objects.h>

#include "core/paths.h"
#include "platform/crypto/crypt_message.h"
#include "platform/crypto/pem_file.h"
#include "platform/crypto/pkcs12_file.h"
#include "platform/crypto/store_files.h"

namespace korvalo {

namespace fs = std::filesystem;
using SysClock = std::chrono::system_clock;

// ---- free functions ----------------------------------------------------------------------

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

StoreCertificate::StoreCertificate(X509Ptr cert, std::shared_ptr<const IKeySource> keySource)
    : StoreCertificate(std::move(cert), fs::path(), false) {
    keySource_ = std::move(keySource);
}

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
    if (keySource_)
        return KeyError(kNteNotSupported);
    // Without the engine a GOST key cannot be read, which the reading reports.
    (void)EnsureGostEngine();
    std::string content;
    if (ReadSmallFile(file_, content) != 0)
        return KeyError(kNteBadKeyset);
    const std::string what = file_.filename().string();
    KeyResult result =
        pkcs12_ ? LoadPkcs12Key(content, prompt, what) : LoadPemKey(content, prompt, what);
    ERR_clear_error();
    if (result.key && !KeyMatches(cert_.get(), result.key.get()))
        return KeyError(kCryptENoKeyProperty);
    return result;
}

KeyStatus StoreCertificate::KeySupported() const {
    return keySource_ ? keySource_->Supported(*this) : KeyStatus{};
}

OpenedKey StoreCertificate::OpenKey(IKeyPasswordPrompt* prompt) const {
    if (keySource_)
        return keySource_->Open(*this, prompt);
    KeyResult loaded = LoadPrivateKey(prompt);
    OpenedKey opened;
    if (!loaded.key) {
        opened.status = KeyStatus{loaded.error, std::move(loaded.message)};
        return opened;
    }
    opened.key = std::make_unique<FileSigningKey>(cert_.get(), std::move(loaded.key));
    return opened;
}

// ---- CertStore ---------------------------------------------------------------------------

bool EnsureCertStoreFolder(const fs::path& folder) {
    if (folder.empty())
        return false;
    std::error_code ec;
    // Each missing folder on the way is made private to the user, as the folders of a fresh
    // account's data directory are.
    return fs::is_directory(folder, ec) || CreatePrivateFolders(folder.string());
}

std::unique_ptr<CertStore> CertStore::Open(const fs::path& folder, const StoreTokens& tokens) {
    // Without the engine a GOST certificate is listed with the problem of its unknown key.
    (void)EnsureGostEngine();
    if (!EnsureCertStoreFolder(folder))
        return nullptr;
    std::error_code ec;
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
    if (tokens.source != nullptr)
        tokens.source->AppendCertificates(tokens.modules, store->certificates_, store->problems_);
    return store;
}

void CertStore::ReadFile(const fs::path& file) {
    auto problem = [&](std::string reason) { problems_.push_back({file, std::move(reason)}); };
    std::string content;
    if (const std::uint32_t err = ReadSmallFile(file, content); err != 0) {
        problem("файл не удалось прочитать: " + CryptErrorText(err));
        return;
    }
    const bool pkcs12 = !HasExtensionNoCase(file, ".pem");
    ListedCertificate listed =
        pkcs12 ? ReadPkcs12StoreCertificate(content, file) : ReadPemStoreCertificate(content);
    if (!listed.cert) {
        problem(std::move(listed.problem));
        return;
    }
    StoreCertificate cert(std::move(listed.cert), file, pkcs12);
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
