// The GOST algorithms come through OpenSSL's engine interface, which OpenSSL 3 keeps but marks
// deprecated; the gost engine has no complete provider for keys and signatures on Debian 12.
#define OPENSSL_SUPPRESS_DEPRECATED

#include "platform/crypto/crypt_message.h"

#include <climits>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <new>

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
struct BioChainDeleter {
    void operator()(BIO* p) const noexcept { BIO_free_all(p); }
};
struct Asn1TimeDeleter {
    void operator()(ASN1_TIME* p) const noexcept { ASN1_TIME_free(p); }
};
using EnginePtr = std::unique_ptr<ENGINE, EngineDeleter>;
using MdCtxPtr = std::unique_ptr<EVP_MD_CTX, MdCtxDeleter>;
using Asn1TimePtr = std::unique_ptr<ASN1_TIME, Asn1TimeDeleter>;
using BioChainPtr = std::unique_ptr<BIO, BioChainDeleter>;

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

ContentDigest::ContentDigest(const EVP_MD* md) : ctx_(EVP_MD_CTX_new()) {
    if (ctx_ == nullptr)
        throw std::bad_alloc();
    if (EVP_DigestInit_ex(ctx_, md, nullptr) != 1) {
        error_ = kNteBadAlgId;
        ERR_clear_error();
    }
}

ContentDigest::~ContentDigest() {
    EVP_MD_CTX_free(ctx_);
}

std::uint32_t ContentDigest::Add(std::string_view bytes) {
    if (error_ == 0 && EVP_DigestUpdate(ctx_, bytes.data(), bytes.size()) != 1) {
        error_ = kNteFail;
        ERR_clear_error();
    }
    return error_;
}

std::uint32_t ContentDigest::Finish(std::string& digest) {
    digest.clear();
    if (error_ != 0)
        return error_;
    unsigned char value[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(ctx_, value, &length) != 1) {
        ERR_clear_error();
        return error_ = kNteFail;
    }
    digest.assign(reinterpret_cast<const char*>(value), length);
    error_ = kNteFail;  // spent
    return 0;
}

std::uint32_t ContentDigest::Of(const EVP_MD* md, std::string_view bytes, std::string& digest) {
    ContentDigest d(md);
    if (const std::uint32_t error = d.Add(bytes); error != 0)
        return error;
    return d.Finish(digest);
}

std::uint32_t DetachedCmsSigner::Failed() const {
    const unsigned long err = ERR_peek_last_error();
    for (unsigned long e = ERR_get_error(); e != 0; e = ERR_get_error())
        lastErrors_.push_back(e);
    if (ERR_GET_REASON(err) == ERR_R_MALLOC_FAILURE)
        return kNteNoMemory;
    return CheckDigest() != 0 ? kNteBadAlgId : kNteFail;
}

std::uint32_t DetachedCmsSigner::Encode(CMS_ContentInfo* cms, std::string& der,
                                        CmsSignStage& stage) const {
    stage = CmsSignStage::Encoding;
    const int len = i2d_CMS_ContentInfo(cms, nullptr);
    if (len <= 0)
        return Failed();
    der.resize(static_cast<std::size_t>(len));
    auto* out = reinterpret_cast<unsigned char*>(der.data());
    if (i2d_CMS_ContentInfo(cms, &out) != len) {
        der.clear();
        return Failed();
    }
    return 0;
}

CmsPtr DetachedCmsSigner::StartSignature(std::chrono::system_clock::time_point signingTime,
                                         CMS_SignerInfo*& si) const {
    CmsPtr cms(
        CMS_sign(nullptr, nullptr, nullptr, nullptr, CMS_DETACHED | CMS_BINARY | CMS_PARTIAL));
    if (!cms)
        return nullptr;
    si = CMS_add1_signer(cms.get(), cert_, key_, md_, CMS_BINARY | CMS_NOSMIMECAP);
    if (si == nullptr)
        return nullptr;
    // UTCTime up to 2049, GeneralizedTime after, as the platform encodes it.
    Asn1TimePtr when(ASN1_TIME_set(nullptr, std::chrono::system_clock::to_time_t(signingTime)));
    if (!when ||
        CMS_signed_add1_attr_by_NID(si, NID_pkcs9_signingTime, when->type, when.get(), -1) != 1)
        return nullptr;
    return cms;
}

std::uint32_t DetachedCmsSigner::Sign(std::string_view data, std::string& der, CmsSignStage& stage,
                                      std::chrono::system_clock::time_point signingTime) const {
    stage = CmsSignStage::Signing;
    lastErrors_.clear();
    if (data.size() > static_cast<std::size_t>(INT_MAX))
        return kErrorFileTooLarge;
    constexpr unsigned kFlags = CMS_DETACHED | CMS_BINARY;
    CMS_SignerInfo* si = nullptr;
    const CmsPtr cms = StartSignature(signingTime, si);
    if (!cms)
        return Failed();
    BioPtr in(BIO_new_mem_buf(data.data(), static_cast<int>(data.size())));
    if (!in || CMS_final(cms.get(), in.get(), nullptr, kFlags) != 1)
        return Failed();
    return Encode(cms.get(), der, stage);
}

std::uint32_t DetachedCmsSigner::SignDigest(
    std::string_view contentDigest, std::string& der, CmsSignStage& stage,
    std::chrono::system_clock::time_point signingTime) const {
    stage = CmsSignStage::Signing;
    lastErrors_.clear();
    if (contentDigest.size() != static_cast<std::size_t>(EVP_MD_get_size(md_)))
        return kNteBadHash;
    // The steps CMS_final takes, with the digest it would compute from the content given:
    // the signer with its signing time, the content's digest and type as signed attributes,
    // then the signature over them.
    CMS_SignerInfo* si = nullptr;
    const CmsPtr cms = StartSignature(signingTime, si);
    if (!cms)
        return Failed();
    // Opening the (empty) content sets the message's version as CMS_final's opening does.
    const BioChainPtr chain(CMS_dataInit(cms.get(), nullptr));
    if (!chain)
        return Failed();
    if (CMS_signed_add1_attr_by_NID(si, NID_pkcs9_messageDigest, V_ASN1_OCTET_STRING,
                                    contentDigest.data(),
                                    static_cast<int>(contentDigest.size())) != 1 ||
        CMS_signed_add1_attr_by_NID(si, NID_pkcs9_contentType, V_ASN1_OBJECT,
                                    CMS_get0_eContentType(cms.get()), -1) != 1 ||
        CMS_SignerInfo_sign(si) != 1) {
        return Failed();
    }
    return Encode(cms.get(), der, stage);
}

}  // namespace korvalo
