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

KeyStatus FileSigningKey::SignDetached(std::string_view data, const EVP_MD* md, std::string& der,
                                       CmsSignStage& stage) {
    return KeyStatus::Of(DetachedCmsSigner(cert_, key_.get(), md).Sign(data, der, stage));
}

}  // namespace korvalo
