#include "platform/crypto/signing_key.h"

#include "platform/crypto/crypt_errors.h"

namespace korvalo {

KeyStatus KeyStatus::Of(std::uint32_t code) {
    KeyStatus status;
    status.error = code;
    if (code != 0)
        status.message = CryptErrorText(code);
    return status;
}

KeyStatus FileSigningKey::CheckDigest(const EVP_MD* md) {
    return KeyStatus::Of(DetachedCmsSigner(cert_, key_.get(), md).CheckDigest());
}

KeyStatus ISigningKey::SignDetached(std::string_view data, const EVP_MD* md, std::string& der,
                                    CmsSignStage& stage) {
    stage = CmsSignStage::Signing;
    std::string digest;
    if (const std::uint32_t error = ContentDigest::Of(md, data, digest); error != 0)
        return KeyStatus::Of(error);
    return SignDigest(digest, md, std::chrono::system_clock::now(), der, stage);
}

KeyStatus FileSigningKey::SignDigest(std::string_view contentDigest, const EVP_MD* md,
                                     std::chrono::system_clock::time_point signingTime,
                                     std::string& der, CmsSignStage& stage) {
    return KeyStatus::Of(DetachedCmsSigner(cert_, key_.get(), md)
                             .SignDigest(contentDigest, der, stage, signingTime));
}

}  // namespace korvalo
