#pragma once
// Detached CMS signatures over OpenSSL: this build's message-signing call of the platform,
// with the GOST algorithms taken from OpenSSL's "gost" engine when it is installed.

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <openssl/cms.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include "platform/crypto/openssl_handles.h"

namespace korvalo {

// Makes the GOST algorithms (keys, digests, signatures) available once per process, and
// tells whether they are. $KORVALO_GOST_ENGINE chooses: not set or empty, the engine "gost"
// from OpenSSL's engine folder (/usr/lib/x86_64-linux-gnu/engines-3/gost.so on Debian);
// "none", GOST stays off; anything else, the path of the engine's shared object. Without the
// engine the GOST digests are unknown (kNteBadAlgId). Safe to call from any thread.
[[nodiscard]] bool EnsureGostEngine();

// The digest whose object identifier is the dotted text oid (the text is taken verbatim, no
// names); nullptr when this build has no such digest.
const EVP_MD* FindDigestByOid(std::string_view oid);

// Where a signing call failed: making the signature, or writing the finished message out.
enum class CmsSignStage { Signing, Encoding };

// The digest of a content fed to it piece by piece (a file read in chunks), with one digest
// algorithm.
class ContentDigest {
public:
    // md must outlive the object. Throws std::bad_alloc.
    explicit ContentDigest(const EVP_MD* md);
    ~ContentDigest();
    ContentDigest(const ContentDigest&) = delete;
    ContentDigest& operator=(const ContentDigest&) = delete;

    // 0, or a platform error code (kNteBadAlgId when the digest cannot be made here).
    [[nodiscard]] std::uint32_t Add(std::string_view bytes);
    // The digest of everything added; 0 or a platform error code. The object is spent then.
    [[nodiscard]] std::uint32_t Finish(std::string& digest);

    // The digest of bytes held whole, in one call.
    [[nodiscard]] static std::uint32_t Of(const EVP_MD* md, std::string_view bytes,
                                          std::string& digest);

private:
    EVP_MD_CTX* ctx_;
    std::uint32_t error_ = 0;
};

// Makes one detached CMS SignedData per call with one signer: binary content, the signer's
// own certificate as the only certificate, no S/MIME capabilities, signed attributes
// content type, message digest and signing time. The certificate, key and digest must
// outlive the signer.
class DetachedCmsSigner {
public:
    DetachedCmsSigner(X509* cert, EVP_PKEY* key, const EVP_MD* md)
        : cert_(cert), key_(key), md_(md) {}

    // 0 when the key can sign with the digest; kNteBadAlgId when it refuses it.
    [[nodiscard]] std::uint32_t CheckDigest() const;

    // Signs data (not copied) with the signing time signingTime (UTC). Returns 0 and the
    // DER in der, or a platform error code (kNteBadAlgId when the key refuses the digest,
    // kNteNoMemory, kErrorFileTooLarge above 2 GiB - 1, kNteFail otherwise) with the stage
    // that failed in stage.
    [[nodiscard]] std::uint32_t Sign(
        std::string_view data, std::string& der, CmsSignStage& stage,
        std::chrono::system_clock::time_point signingTime = std::chrono::system_clock::now()) const;

    // The same message as Sign over a content whose digest (made with this signer's digest
    // algorithm, ContentDigest) is contentDigest: the content itself is not needed, so it may
    // be of any length and read in pieces. Byte for byte what Sign makes of that content with
    // the same key and signing time. Results as Sign's (kNteBadHash when contentDigest has not
    // the digest's length).
    [[nodiscard]] std::uint32_t SignDigest(
        std::string_view contentDigest, std::string& der, CmsSignStage& stage,
        std::chrono::system_clock::time_point signingTime = std::chrono::system_clock::now()) const;

    // The OpenSSL error codes (oldest first) that the last failed Sign found in the thread's
    // error queue, which it empties: what a key that signs elsewhere (a token) said. Empty
    // after a Sign that worked.
    const std::vector<unsigned long>& LastErrors() const noexcept { return lastErrors_; }

private:
    [[nodiscard]] std::uint32_t Failed() const;
    // A detached signature in the making: this signer, with the signing time as a signed
    // attribute, in si; null on failure.
    CmsPtr StartSignature(std::chrono::system_clock::time_point signingTime,
                          CMS_SignerInfo*& si) const;
    [[nodiscard]] std::uint32_t Encode(CMS_ContentInfo* cms, std::string& der,
                                       CmsSignStage& stage) const;

    X509* cert_;
    EVP_PKEY* key_;
    const EVP_MD* md_;
    mutable std::vector<unsigned long> lastErrors_;
};

}  // namespace korvalo
