// The GOST algorithms come through OpenSSL's engine interface, which OpenSSL 3 keeps but marks
// deprecated; the gost engine has no complete provider for keys and signatures on Debian 12.
#define OPENSSL_SUPPRESS_DEPRECATED

#include "platform/crypto/crypt_message.h"

#include <climits>
#include <cstdlib>
#include <ctime>
#include <memory>

#include <openssl/cms.h>
#include <openssl/engine.h>
#include <openssl/err.h>

#include "platform/crypto/cert_store.h"

namespace korvalo {

namespace {

struct EngineDeleter {
    void operator()(ENGINE* p) const noexcept { ENGINE_free(p); }
};
struct MdCtxDeleter {
    void operator()(EVP_MD_CTX* p) const noexcept { EVP_MD_CTX_free(p); }
};
struct Asn1TimeDeleter {
    void operator()(ASN1_TIME* p) const noexcept { ASN1_TIME_free(p); }
};
using EnginePtr = std::unique_ptr<ENGINE, EngineDeleter>;
using MdCtxPtr = std::unique_ptr<EVP_MD_CTX, MdCtxDeleter>;
using Asn1TimePtr = std::unique_ptr<ASN1_TIME, Asn1TimeDeleter>;

constexpr const char* kDebianGostEngine = "/usr/lib/x86_64-linux-gnu/engines-3/gost.so";

EnginePtr LoadEngineFile(const std::string& path) {
    EnginePtr e(ENGINE_by_id("dynamic"));
    if (!e)
        return nullptr;
    if (ENGINE_ctrl_cmd_string(e.get(), "SO_PATH", path.c_str(), 0) != 1 ||
        ENGINE_ctrl_cmd_string(e.get(), "LOAD", nullptr, 0) != 1) {
        return nullptr;
    }
    return e;
}

[[nodiscard]] bool LoadGostEngine() {
    const char* env = std::getenv("KORVALO_GOST_ENGINE");
    const std::string choice = env != nullptr ? env : "";
    if (choice == "none")
        return false;
    EnginePtr e;
    if (choice.empty()) {
        e.reset(ENGINE_by_id("gost"));
        if (!e) {
            ERR_clear_error();
            e = LoadEngineFile(kDebianGostEngine);
        }
    } else {
        e = LoadEngineFile(choice);
    }
    bool ok = false;
    if (e && ENGINE_init(e.get()) == 1) {
        // The default tables keep their own references to the engine.
        ok = ENGINE_set_default(e.get(), ENGINE_METHOD_ALL) == 1;
        ENGINE_finish(e.get());
    }
    ERR_clear_error();
    return ok;
}

}  // namespace

bool EnsureGostEngine() {
    static const bool loaded = LoadGostEngine();
    return loaded;
}

const EVP_MD* FindDigestByOid(std::string_view oid) {
    // Without the engine the GOST digests are simply not found.
    (void)EnsureGostEngine();
    if (oid.empty())
        return nullptr;
    const std::string text(oid);
    Asn1ObjectPtr obj(OBJ_txt2obj(text.c_str(), 1));
    if (!obj) {
        ERR_clear_error();
        return nullptr;
    }
    const int nid = OBJ_obj2nid(obj.get());
    if (nid == NID_undef)
        return nullptr;
    const EVP_MD* md = EVP_get_digestbynid(nid);
    ERR_clear_error();
    // A signature algorithm's identifier names its digest too; only digests count here.
    if (md == nullptr || EVP_MD_get_type(md) != nid)
        return nullptr;
    return md;
}

std::uint32_t DetachedCmsSigner::CheckDigest() const {
    MdCtxPtr ctx(EVP_MD_CTX_new());
    if (!ctx)
        return kNteNoMemory;
    const int ok = EVP_DigestSignInit(ctx.get(), nullptr, md_, nullptr, key_);
    ERR_clear_error();
    return ok == 1 ? 0 : kNteBadAlgId;
}

std::uint32_t DetachedCmsSigner::Sign(std::string_view data, std::string& der, CmsSignStage& stage,
                                      std::chrono::system_clock::time_point signingTime) const {
    stage = CmsSignStage::Signing;
    lastErrors_.clear();
    if (data.size() > static_cast<std::size_t>(INT_MAX))
        return kErrorFileTooLarge;
    auto failed = [this]() {
        const unsigned long err = ERR_peek_last_error();
        for (unsigned long e = ERR_get_error(); e != 0; e = ERR_get_error())
            lastErrors_.push_back(e);
        if (ERR_GET_REASON(err) == ERR_R_MALLOC_FAILURE)
            return kNteNoMemory;
        return CheckDigest() != 0 ? kNteBadAlgId : kNteFail;
    };
    constexpr unsigned kFlags = CMS_DETACHED | CMS_BINARY;
    CmsPtr cms(CMS_sign(nullptr, nullptr, nullptr, nullptr, kFlags | CMS_PARTIAL));
    if (!cms)
        return failed();
    CMS_SignerInfo* si = CMS_add1_signer(cms.get(), cert_, key_, md_, CMS_BINARY | CMS_NOSMIMECAP);
    if (si == nullptr)
        return failed();
    // UTCTime up to 2049, GeneralizedTime after, as the platform encodes it.
    Asn1TimePtr when(ASN1_TIME_set(nullptr, std::chrono::system_clock::to_time_t(signingTime)));
    if (!when ||
        CMS_signed_add1_attr_by_NID(si, NID_pkcs9_signingTime, when->type, when.get(), -1) != 1) {
        return failed();
    }
    BioPtr in(BIO_new_mem_buf(data.data(), static_cast<int>(data.size())));
    if (!in || CMS_final(cms.get(), in.get(), nullptr, kFlags) != 1)
        return failed();
    stage = CmsSignStage::Encoding;
    const int len = i2d_CMS_ContentInfo(cms.get(), nullptr);
    if (len <= 0)
        return failed();
    der.resize(static_cast<std::size_t>(len));
    auto* out = reinterpret_cast<unsigned char*>(der.data());
    if (i2d_CMS_ContentInfo(cms.get(), &out) != len) {
        der.clear();
        return failed();
    }
    return 0;
}

}  // namespace korvalo
