#pragma once
// The detached CMS signature the stand-in AvCryptMail makes, with attribute certificates.

#include <string>
#include <string_view>
#include <vector>

#include <openssl/evp.h>
#include <openssl/x509.h>

#include "services/engines/avcryptmail_api.h"

namespace korvalo::avcm {

// The digest for a key: SHA-256 for RSA and EC keys, the key's own digest (GOST R 34.11 for
// GOST keys) otherwise, SHA-512 for a key without one; nullptr when this build lacks it.
const EVP_MD* DigestForKey(EVP_PKEY* key);

// Signs data: detached, binary SignedData with one signer (issuer and serial number), signed
// attributes content type, message digest and signing time, and, when attrCerts is not
// empty, the CAdES signer-attributes attribute (id-aa-ets-signerAttr,
// 1.2.840.113549.1.9.16.2.18) holding each attribute certificate as certifiedAttributes, in
// order. The signer's certificate goes into the certificate set when includeCertificate.
// Returns 0 and the DER in der, or a library code.
AvCmResult MakeSignedMessage(X509* certificate, EVP_PKEY* key, std::string_view data,
                             const std::vector<std::string>& attrCerts, bool includeCertificate,
                             std::string& der);

}  // namespace korvalo::avcm
