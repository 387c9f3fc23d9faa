#pragma once
// Detached CMS signatures over OpenSSL: this build's message-signing call of the platform,
// with the GOST algorithms taken from OpenSSL's "gost" engine when it is installed.

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <openssl/evp.h>
#include <openssl/x509.h>

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

    // The OpenSSL error codes (oldest first) that the last failed Sign found in the thread's
    // error queue, which it empties: what a key that signs elsewhere (a token) said. Empty
    // after a Sign that worked.
    const std::vector<unsigned long>& LastErrors() const noexcept { return lastErrors_; }

private:
    X509* cert_;
    EVP_PKEY* key_;
    const EVP_MD* md_;
    mutable std::vector<unsigned long> lastErrors_;
};

}  // namespace korvalo
