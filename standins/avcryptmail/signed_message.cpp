#include "signed_message.h"

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/err.h>
#include <openssl/objects.h>

#include <climits>
#include <memory>

#include "codes.h"
#include "platform/crypto/crypt_message.h"
#include "platform/crypto/openssl_handles.h"

namespace korvalo::avcm {

namespace {

// One DER element: the header for tag and class, then content.
std::string Element(int tag, int xclass, std::string_view content) {
    if (content.size() > static_cast<std::size_t>(INT_MAX))
        return {};
    const int length = static_cast<int>(content.size());
    const int total = ASN1_object_size(1, length, tag);
    if (total <= 0)
        return {};
    std::string out(static_cast<std::size_t>(total), '\0');
    auto* p = reinterpret_cast<unsigned char*>(out.data());
    ASN1_put_object(&p, 1, length, tag, xclass);
    const auto header = static_cast<std::size_t>(p - reinterpret_cast<unsigned char*>(out.data()));
    out.replace(header, content.size(), content);
    return out;
}

// SignerAttribute ::= SEQUENCE OF CHOICE { claimedAttributes [0], certifiedAttributes [1] }
// with explicit tags; each attribute certificate is one certifiedAttributes choice.
std::string SignerAttributes(const std::vector<std::string>& attrCerts) {
    std::string choices;
    for (const std::string& ac : attrCerts)
        choices += Element(1, V_ASN1_CONTEXT_SPECIFIC, ac);
    return Element(V_ASN1_SEQUENCE, V_ASN1_UNIVERSAL, choices);
}

}  // namespace

const EVP_MD* DigestForKey(EVP_PKEY* key) {
    // Without the engine a GOST key has no digest here, which the caller reports.
    (void)EnsureGostEngine();
    switch (EVP_PKEY_get_base_id(key)) {
        case EVP_PKEY_RSA:
        case EVP_PKEY_RSA_PSS:
        case EVP_PKEY_EC:
            return EVP_sha256();
        default:
            break;
    }
    int nid = NID_undef;
    if (EVP_PKEY_get_default_digest_nid(key, &nid) <= 0)
        return EVP_sha256();
    if (nid == NID_undef)
        return EVP_sha512();
    return EVP_get_digestbynid(nid);
}

AvCmResult MakeSignedMessage(X509* certificate, EVP_PKEY* key, std::string_view data,
                             const std::vector<std::string>& attrCerts, bool includeCertificate,
                             std::string& der) {
    const EVP_MD* md = DigestForKey(key);
    if (md == nullptr)
        return kKeyAlgorithmNotSupported;
    if (X509_check_private_key(certificate, key) != 1) {
        ERR_clear_error();
        return kKeyNotAvailable;
    }

    CmsPtr cms(
        CMS_sign(nullptr, nullptr, nullptr, nullptr, CMS_BINARY | CMS_DETACHED | CMS_PARTIAL));
    if (!cms)
        return kInternalError;
    const unsigned signerFlags =
        CMS_BINARY | CMS_NOSMIMECAP | CMS_PARTIAL | (includeCertificate ? 0 : CMS_NOCERTS);
    CMS_SignerInfo* si = CMS_add1_signer(cms.get(), certificate, key, md, signerFlags);
    if (si == nullptr) {
        ERR_clear_error();
        return kKeyAlgorithmNotSupported;
    }
    if (!attrCerts.empty()) {
        const std::string value = SignerAttributes(attrCerts);
        if (value.empty() || value.size() > static_cast<std::size_t>(INT_MAX) ||
            CMS_signed_add1_attr_by_NID(si, NID_id_smime_aa_ets_signerAttr, V_ASN1_SEQUENCE,
                                        value.data(), static_cast<int>(value.size())) != 1)
            return kInternalError;
    }
    // The library takes 32-bit lengths, OpenSSL int ones: what does not fit is no message.
    if (data.size() > static_cast<std::size_t>(INT_MAX))
        return kInternalError;
    BioPtr content(BIO_new_mem_buf(data.empty() ? "" : data.data(), static_cast<int>(data.size())));
    if (!content)
        return kInternalError;
    if (CMS_final(cms.get(), content.get(), nullptr, CMS_BINARY | CMS_DETACHED) != 1) {
        ERR_clear_error();
        return kSigningFailed;
    }
    unsigned char* out = nullptr;
    const int length = i2d_CMS_ContentInfo(cms.get(), &out);
    if (length <= 0)
        return kInternalError;
    der.assign(reinterpret_cast<const char*>(out), static_cast<std::size_t>(length));
    OPENSSL_free(out);
    return AVCM_OK;
}

}  // namespace korvalo::avcm
