#include "attr_cert.h"

#include <openssl/asn1t.h>
#include <openssl/bn.h>
#include <openssl/objects.h>
#include <openssl/x509v3.h>

#include <climits>

namespace korvalo::avcm {

// ---- ASN.1 of RFC 5755 (implicit tags) --------------------------------------------------

extern "C" {

typedef struct KV_AC_OBJECT_DIGEST_INFO_st {
    ASN1_ENUMERATED* digestedObjectType;
    ASN1_OBJECT* otherObjectTypeID;
    X509_ALGOR* digestAlgorithm;
    ASN1_BIT_STRING* objectDigest;
} KV_AC_OBJECT_DIGEST_INFO;

typedef struct KV_AC_ISSUER_SERIAL_st {
    GENERAL_NAMES* issuer;
    ASN1_INTEGER* serial;
    ASN1_BIT_STRING* issuerUID;
} KV_AC_ISSUER_SERIAL;

typedef struct KV_AC_HOLDER_st {
    KV_AC_ISSUER_SERIAL* baseCertificateID;
    GENERAL_NAMES* entityName;
    KV_AC_OBJECT_DIGEST_INFO* objectDigestInfo;
} KV_AC_HOLDER;

typedef struct KV_AC_V2FORM_st {
    GENERAL_NAMES* issuerName;
    KV_AC_ISSUER_SERIAL* baseCertificateID;
    KV_AC_OBJECT_DIGEST_INFO* objectDigestInfo;
} KV_AC_V2FORM;

typedef struct KV_AC_ISSUER_st {
    int type;
    union {
        GENERAL_NAMES* v1Form;
        KV_AC_V2FORM* v2Form;
    } u;
} KV_AC_ISSUER;

typedef struct KV_AC_VALIDITY_st {
    ASN1_GENERALIZEDTIME* notBefore;
    ASN1_GENERALIZEDTIME* notAfter;
} KV_AC_VALIDITY;

typedef struct KV_AC_INFO_st {
    ASN1_INTEGER* version;
    KV_AC_HOLDER* holder;
    KV_AC_ISSUER* issuer;
    X509_ALGOR* signature;
    ASN1_INTEGER* serialNumber;
    KV_AC_VALIDITY* validity;
    STACK_OF(X509_ATTRIBUTE) * attributes;
    ASN1_BIT_STRING* issuerUniqueID;
    STACK_OF(X509_EXTENSION) * extensions;
} KV_AC_INFO;

typedef struct KV_ATTRIBUTE_CERT_st {
    KV_AC_INFO* info;
    X509_ALGOR* signatureAlgorithm;
    ASN1_BIT_STRING* signatureValue;
} KV_ATTRIBUTE_CERT;

}  // extern "C"

ASN1_SEQUENCE(KV_AC_OBJECT_DIGEST_INFO) =
    {
        ASN1_SIMPLE(KV_AC_OBJECT_DIGEST_INFO, digestedObjectType, ASN1_ENUMERATED),
        ASN1_OPT(KV_AC_OBJECT_DIGEST_INFO, otherObjectTypeID, ASN1_OBJECT),
        ASN1_SIMPLE(KV_AC_OBJECT_DIGEST_INFO, digestAlgorithm, X509_ALGOR),
        ASN1_SIMPLE(KV_AC_OBJECT_DIGEST_INFO, objectDigest, ASN1_BIT_STRING),
} ASN1_SEQUENCE_END(KV_AC_OBJECT_DIGEST_INFO)

        ASN1_SEQUENCE(KV_AC_ISSUER_SERIAL) =
            {
                ASN1_SEQUENCE_OF(KV_AC_ISSUER_SERIAL, issuer, GENERAL_NAME),
                ASN1_SIMPLE(KV_AC_ISSUER_SERIAL, serial, ASN1_INTEGER),
                ASN1_OPT(KV_AC_ISSUER_SERIAL, issuerUID, ASN1_BIT_STRING),
} ASN1_SEQUENCE_END(KV_AC_ISSUER_SERIAL)

                ASN1_SEQUENCE(KV_AC_HOLDER) =
                    {
                        ASN1_IMP_OPT(KV_AC_HOLDER, baseCertificateID, KV_AC_ISSUER_SERIAL, 0),
                        ASN1_IMP_SEQUENCE_OF_OPT(KV_AC_HOLDER, entityName, GENERAL_NAME, 1),
                        ASN1_IMP_OPT(KV_AC_HOLDER, objectDigestInfo, KV_AC_OBJECT_DIGEST_INFO, 2),
} ASN1_SEQUENCE_END(KV_AC_HOLDER)

                        ASN1_SEQUENCE(KV_AC_V2FORM) =
                            {
                                ASN1_SEQUENCE_OF_OPT(KV_AC_V2FORM, issuerName, GENERAL_NAME),
                                ASN1_IMP_OPT(KV_AC_V2FORM, baseCertificateID, KV_AC_ISSUER_SERIAL,
                                             0),
                                ASN1_IMP_OPT(KV_AC_V2FORM, objectDigestInfo,
                                             KV_AC_OBJECT_DIGEST_INFO, 1),
} ASN1_SEQUENCE_END(KV_AC_V2FORM)

                                ASN1_CHOICE(KV_AC_ISSUER) =
                                    {
                                        ASN1_SEQUENCE_OF(KV_AC_ISSUER, u.v1Form, GENERAL_NAME),
                                        ASN1_IMP(KV_AC_ISSUER, u.v2Form, KV_AC_V2FORM, 0),
} ASN1_CHOICE_END(KV_AC_ISSUER)

                                        ASN1_SEQUENCE(KV_AC_VALIDITY) =
                                            {
                                                ASN1_SIMPLE(KV_AC_VALIDITY, notBefore,
                                                            ASN1_GENERALIZEDTIME),
                                                ASN1_SIMPLE(KV_AC_VALIDITY, notAfter,
                                                            ASN1_GENERALIZEDTIME),
} ASN1_SEQUENCE_END(KV_AC_VALIDITY)

                                                ASN1_SEQUENCE(KV_AC_INFO) =
                                                    {
                                                        ASN1_SIMPLE(KV_AC_INFO, version,
                                                                    ASN1_INTEGER),
                                                        ASN1_SIMPLE(KV_AC_INFO, holder,
                                                                    KV_AC_HOLDER),
                                                        ASN1_SIMPLE(KV_AC_INFO, issuer,
                                                                    KV_AC_ISSUER),
                                                        ASN1_SIMPLE(KV_AC_INFO, signature,
                                                                    X509_ALGOR),
                                                        ASN1_SIMPLE(KV_AC_INFO, serialNumber,
                                                                    ASN1_INTEGER),
                                                        ASN1_SIMPLE(KV_AC_INFO, validity,
                                                                    KV_AC_VALIDITY),
                                                        ASN1_SEQUENCE_OF(KV_AC_INFO, attributes,
                                                                         X509_ATTRIBUTE),
                                                        ASN1_OPT(KV_AC_INFO, issuerUniqueID,
                                                                 ASN1_BIT_STRING),
                                                        ASN1_SEQUENCE_OF_OPT(KV_AC_INFO, extensions,
                                                                             X509_EXTENSION),
} ASN1_SEQUENCE_END(KV_AC_INFO)

                                                        ASN1_SEQUENCE(KV_ATTRIBUTE_CERT) =
                                                            {
                                                                ASN1_SIMPLE(KV_ATTRIBUTE_CERT, info,
                                                                            KV_AC_INFO),
                                                                ASN1_SIMPLE(KV_ATTRIBUTE_CERT,
                                                                            signatureAlgorithm,
                                                                            X509_ALGOR),
                                                                ASN1_SIMPLE(KV_ATTRIBUTE_CERT,
                                                                            signatureValue,
                                                                            ASN1_BIT_STRING),
} ASN1_SEQUENCE_END(KV_ATTRIBUTE_CERT)

                                                                IMPLEMENT_ASN1_ALLOC_FUNCTIONS(
                                                                    KV_AC_ISSUER_SERIAL)
                                                                    IMPLEMENT_ASN1_ALLOC_FUNCTIONS(
                                                                        KV_AC_V2FORM)
                                                                        IMPLEMENT_ASN1_ALLOC_FUNCTIONS(
                                                                            KV_AC_ISSUER)
                                                                            IMPLEMENT_ASN1_FUNCTIONS(
                                                                                KV_ATTRIBUTE_CERT)

                                                                                namespace {
    struct AttrCertDeleter {
        void operator()(KV_ATTRIBUTE_CERT* p) const noexcept { KV_ATTRIBUTE_CERT_free(p); }
    };
    using AttrCertPtr = std::unique_ptr<KV_ATTRIBUTE_CERT, AttrCertDeleter>;
    struct GeneralNameDeleter {
        void operator()(GENERAL_NAME* p) const noexcept { GENERAL_NAME_free(p); }
    };
    using GeneralNamePtr = std::unique_ptr<GENERAL_NAME, GeneralNameDeleter>;
    struct AttributeDeleter {
        void operator()(X509_ATTRIBUTE* p) const noexcept { X509_ATTRIBUTE_free(p); }
    };
    using AttributePtr = std::unique_ptr<X509_ATTRIBUTE, AttributeDeleter>;
    struct ObjectDeleter {
        void operator()(ASN1_OBJECT* p) const noexcept { ASN1_OBJECT_free(p); }
    };
    using ObjectPtr = std::unique_ptr<ASN1_OBJECT, ObjectDeleter>;

    // Whether names holds a directory name equal to name.
    bool NamesHoldDirectoryName(const GENERAL_NAMES* names, const X509_NAME* name) {
        for (int i = 0; i < sk_GENERAL_NAME_num(names); ++i) {
            const GENERAL_NAME* gn = sk_GENERAL_NAME_value(names, i);
            if (gn->type == GEN_DIRNAME && X509_NAME_cmp(gn->d.directoryName, name) == 0)
                return true;
        }
        return false;
    }

    // Adds a directory-name entry holding a copy of name.
    bool AddDirectoryName(GENERAL_NAMES * names, const X509_NAME* name) {
        GeneralNamePtr gn(GENERAL_NAME_new());
        X509_NAME* copy = X509_NAME_dup(name);
        if (!gn || copy == nullptr) {
            X509_NAME_free(copy);
            return false;
        }
        GENERAL_NAME_set0_value(gn.get(), GEN_DIRNAME, copy);
        if (sk_GENERAL_NAME_push(names, gn.get()) <= 0)
            return false;
        gn.release();
        return true;
    }

    bool SetGeneralizedTime(ASN1_GENERALIZEDTIME * target,
                            std::chrono::system_clock::time_point at) {
        return ASN1_GENERALIZEDTIME_set(target, std::chrono::system_clock::to_time_t(at)) !=
               nullptr;
    }

}  // namespace

struct AttributeCertificateData {
    AttrCertPtr ac;
};

AttributeCertificate::AttributeCertificate(std::unique_ptr<AttributeCertificateData> data,
                                           std::string der)
    : data_(std::move(data)), der_(std::move(der)) {}
AttributeCertificate::AttributeCertificate(AttributeCertificate&&) noexcept = default;
AttributeCertificate& AttributeCertificate::operator=(AttributeCertificate&&) noexcept = default;
AttributeCertificate::~AttributeCertificate() = default;

std::optional<AttributeCertificate> AttributeCertificate::Parse(std::string_view der) {
    const auto* p = reinterpret_cast<const unsigned char*>(der.data());
    const auto* end = p + der.size();
    AttrCertPtr decoded(d2i_KV_ATTRIBUTE_CERT(nullptr, &p, static_cast<long>(der.size())));
    if (!decoded || p != end)  // trailing bytes: not one whole certificate
        return std::nullopt;
    auto data = std::make_unique<AttributeCertificateData>();
    data->ac = std::move(decoded);
    return AttributeCertificate(std::move(data), std::string(der));
}

bool AttributeCertificate::HolderIs(const X509* cert) const {
    const KV_AC_HOLDER* holder = data_->ac->info->holder;
    if (const KV_AC_ISSUER_SERIAL* base = holder->baseCertificateID)
        return ASN1_INTEGER_cmp(base->serial, X509_get0_serialNumber(cert)) == 0 &&
               NamesHoldDirectoryName(base->issuer, X509_get_issuer_name(cert));
    if (holder->entityName != nullptr)
        return NamesHoldDirectoryName(holder->entityName, X509_get_subject_name(cert));
    return false;
}

int AttributeCertificate::TimeValidity(std::time_t at) const {
    const KV_AC_VALIDITY* validity = data_->ac->info->validity;
    if (X509_cmp_time(validity->notBefore, &at) > 0)
        return -1;
    if (X509_cmp_time(validity->notAfter, &at) < 0)
        return 1;
    return 0;
}

std::string AttributeCertificate::SerialHex() const {
    const std::unique_ptr<BIGNUM, decltype(&BN_free)> bn(
        ASN1_INTEGER_to_BN(data_->ac->info->serialNumber, nullptr), BN_free);
    if (!bn)
        return "";
    char* text = BN_bn2hex(bn.get());
    std::string result = text != nullptr ? text : "";
    OPENSSL_free(text);
    return result;
}

std::optional<std::string> MakeAttributeCertificate(const AttributeCertificateRequest& request) {
    AttrCertPtr ac(KV_ATTRIBUTE_CERT_new());
    if (!ac)
        return std::nullopt;
    KV_AC_INFO* info = ac->info;
    if (!ASN1_INTEGER_set(info->version, 1))  // v2
        return std::nullopt;

    // Holder: the holder certificate's issuer and serial number.
    info->holder->baseCertificateID = KV_AC_ISSUER_SERIAL_new();
    KV_AC_ISSUER_SERIAL* base = info->holder->baseCertificateID;
    if (base == nullptr || !AddDirectoryName(base->issuer, X509_get_issuer_name(request.holder)))
        return std::nullopt;
    ASN1_INTEGER_free(base->serial);
    base->serial = ASN1_INTEGER_dup(X509_get0_serialNumber(request.holder));
    if (base->serial == nullptr)
        return std::nullopt;

    // Issuer: v2Form with the attribute authority's subject.
    info->issuer->type = 1;
    info->issuer->u.v2Form = KV_AC_V2FORM_new();
    KV_AC_V2FORM* v2 = info->issuer->u.v2Form;
    if (v2 == nullptr || (v2->issuerName = sk_GENERAL_NAME_new_null()) == nullptr ||
        !AddDirectoryName(v2->issuerName, X509_get_subject_name(request.issuer)))
        return std::nullopt;

    if (!ASN1_INTEGER_set(info->serialNumber, request.serial) ||
        !SetGeneralizedTime(info->validity->notBefore, request.notBefore) ||
        !SetGeneralizedTime(info->validity->notAfter, request.notAfter))
        return std::nullopt;

    for (const auto& [oid, value] : request.attributes) {
        ObjectPtr object(OBJ_txt2obj(oid.c_str(), 1));
        if (!object || value.size() > static_cast<std::size_t>(INT_MAX))
            return std::nullopt;
        AttributePtr attribute(X509_ATTRIBUTE_create_by_OBJ(
            nullptr, object.get(), V_ASN1_UTF8STRING,
            reinterpret_cast<const unsigned char*>(value.data()), static_cast<int>(value.size())));
        if (!attribute || sk_X509_ATTRIBUTE_push(info->attributes, attribute.get()) <= 0)
            return std::nullopt;
        attribute.release();
    }

    const EVP_MD* md = EVP_sha256();
    int defaultNid = 0;
    if (EVP_PKEY_get_default_digest_nid(request.issuerKey, &defaultNid) == 2)
        md = defaultNid == NID_undef ? nullptr : EVP_get_digestbynid(defaultNid);
    if (ASN1_item_sign(ASN1_ITEM_rptr(KV_AC_INFO), info->signature, ac->signatureAlgorithm,
                       ac->signatureValue, info, request.issuerKey, md) <= 0)
        return std::nullopt;

    unsigned char* der = nullptr;
    const int length = i2d_KV_ATTRIBUTE_CERT(ac.get(), &der);
    if (length <= 0)
        return std::nullopt;
    std::string result(reinterpret_cast<const char*>(der), static_cast<std::size_t>(length));
    OPENSSL_free(der);
    return result;
}

}  // namespace korvalo::avcm
