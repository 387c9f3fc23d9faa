/* The call contract of the AvCryptMail cryptographic message library: C types and entry points. */
#ifndef KORVALO_ENGINES_AVCRYPTMAIL_API_H
#define KORVALO_ENGINES_AVCRYPTMAIL_API_H

/*
 * Korvalo loads the library at run time and binds these entry points by name; a library that
 * plays AvCryptMail implements them with exactly these C signatures (C linkage, the platform's
 * default calling convention).
 *
 * Conventions of every entry point:
 * - The result is a 32-bit code; 0 means success. AVCM_E_NO_MORE_ITEMS ends an enumeration,
 *   AVCM_E_NOT_SUPPORTED means the call is not available in this version of the library.
 * - Every object of the library (connection, enumeration, certificate, attribute certificate,
 *   message) is reached through an opaque pointer-sized handle, AvCmHandle. A handle belongs to
 *   the connection it was made in: logging the connection out releases the handles made in it.
 *   AvCmCloseHandle releases one handle before that. AvCmInit(AVCM_INIT_END) releases whatever
 *   is still open.
 * - Output buffers follow one rule: called with no buffer, the call stores the size it needs
 *   in *length and succeeds; called with a buffer, *length holds the buffer's size on entry and
 *   the number of bytes written on return; a buffer that is too small gives
 *   AVCM_E_MORE_DATA with the needed size in *length.
 * - Texts passed to and returned from the library are 8-bit texts in the system's single-byte
 *   code page (windows-1251), ended by a zero byte.
 * - Parameter lists are arrays of entries {id, value pointer}; what a value points at depends
 *   on the id (see the AVCM_PARAM_* constants).
 */

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef uint32_t AvCmResult;
typedef struct AvCmObject* AvCmHandle;

/* One entry of a login parameter list. */
typedef struct AvCmLoginParam {
    uint32_t id;
    const void* value;
} AvCmLoginParam;

/* One entry of a search parameter list (certificate enumeration). */
typedef struct AvCmFindParam {
    uint32_t id;
    uint32_t reserved; /* always 0 */
    const void* value;
} AvCmFindParam;

/* ---- result codes fixed by the contract ---- */
#define AVCM_OK 0u
#define AVCM_E_NO_MORE_ITEMS 0xE82A0125u /* an enumeration has no further item */
#define AVCM_E_NOT_SUPPORTED 0xE82A0126u /* the call is not available in this version */
/* Codes a conforming library gives for common faults (its own texts via AvCmGetErrorInfo). */
#define AVCM_E_INVALID_PARAMETER 0xE82A0101u
#define AVCM_E_INVALID_HANDLE 0xE82A0102u
#define AVCM_E_MORE_DATA 0xE82A0103u
#define AVCM_E_NOT_INITIALIZED 0xE82A0104u

/* ---- AvCmInit modes ---- */
#define AVCM_INIT_START 1u /* before a run */
#define AVCM_INIT_END 2u   /* after a run: releases everything still open */

/* ---- AvCmLogin ---- */
#define AVCM_PARAM_LOGIN_MODE 0x0001u    /* value: const uint32_t*, the store to log in to */
#define AVCM_LOGIN_MODE_PERSONAL 0x0100u /* the current user's personal certificates */
#define AVCM_PARAM_KEY_ID                                                                    \
    0x100Fu                           /* value: the bytes of a certificate's attribute       \
                                         AVCM_CERT_ATTR_KEY_ID: binds the connection to that \
                                         certificate's private key */
#define AVCM_LOGIN_STORE_ONLY 0x0004u /* flags of a login without a private key */
#define AVCM_LOGIN_WITH_KEY 0x0009u   /* flags of a login bound to a private key */

/* ---- AvCmOpenCertEnum ---- */
#define AVCM_PARAM_STORE_KIND 0x0025u /* value: const uint32_t*, 1 = personal certificates */
#define AVCM_STORE_KIND_PERSONAL 1u
#define AVCM_PARAM_SERIAL                                          \
    0x100Eu /* value: const char*, the serial number as upper-case \
               hexadecimal text, most significant byte first */
#define AVCM_PARAM_ATTR_CERTS_OF                                                             \
    0x0323u                            /* value: const AvCmHandle*, a certificate: enumerate \
                                          its attribute certificates */
#define AVCM_ENUM_CERTIFICATES 0x8000u /* flags of a certificate search */

/* ---- AvCmEnumGet flags ---- */
#define AVCM_ENUM_FIRST 0x80u
#define AVCM_ENUM_NEXT 0x40u

/* ---- AvCmGetCertAttr ids ---- */
#define AVCM_CERT_ATTR_KEY_ID 0x100Fu /* zero-terminated text naming the certificate's key */

/* ---- messages ---- */
#define AVCM_MSG_DETACHED_SIGN 0x0100u /* AvCmOpenMsg: a new detached signature of the data */
#define AVCM_MSG_ATTR_ATTR_CERT                                 \
    0x0323u /* AvCmMsgSetAttribute: value const AvCmHandle*, an \
               attribute certificate to carry in the message */
#define AVCM_MSG_SIGN_DEFAULT                                                          \
    0x2100000u                        /* AvCmMsgSign: the signer's certificate and the \
                                         signing time included */
#define AVCM_MSG_ENCODING_DER 0x2000u /* AvCmGetMsg: the whole message, DER encoded */

/* ---- AvCmGetErrorInfo kinds ---- */
#define AVCM_ERROR_INFO_TEXT 1u

/* ---- entry points used by Korvalo ---- */
typedef AvCmResult (*AvCmInit_t)(uint32_t mode);
typedef AvCmResult (*AvCmLogin_t)(uint32_t count, const AvCmLoginParam* params,
                                  AvCmHandle* connection, uint32_t flags);
typedef AvCmResult (*AvCmLogout_t)(AvCmHandle connection, uint32_t flags);
typedef AvCmResult (*AvCmOpenCertEnum_t)(AvCmHandle connection, uint32_t count,
                                         const AvCmFindParam* params, AvCmHandle* enumeration,
                                         uint32_t flags);
typedef AvCmResult (*AvCmEnumGet_t)(AvCmHandle enumeration, AvCmHandle* item, uint32_t flags);
typedef AvCmResult (*AvCmGetCertAttr_t)(AvCmHandle certificate, uint32_t id, uint32_t index,
                                        void* buffer, uint32_t* length, uint32_t flags);
typedef AvCmResult (*AvCmDuplicateHandle_t)(AvCmHandle handle, AvCmHandle connection,
                                            AvCmHandle* duplicate, uint32_t flags);
typedef AvCmResult (*AvCmOpenMsg_t)(AvCmHandle connection, const void* data, uint32_t length,
                                    AvCmHandle* message, uint32_t flags);
typedef AvCmResult (*AvCmMsgSetAttribute_t)(AvCmHandle message, uint32_t id, const void* value,
                                            uint32_t valueLength, uint32_t index, uint32_t flags);
typedef AvCmResult (*AvCmMsgSign_t)(AvCmHandle message, uint32_t flags);
typedef AvCmResult (*AvCmGetMsg_t)(AvCmHandle message, void* buffer, uint32_t* length,
                                   uint32_t flags);
typedef AvCmResult (*AvCmCloseHandle_t)(AvCmHandle handle, uint32_t flags);
typedef AvCmResult (*AvCmGetErrorInfo_t)(AvCmHandle connection, AvCmResult error, uint32_t kind,
                                         char* buffer, uint32_t* length, uint32_t flags);

/* ---- further entry points, bound by version (Korvalo does not call them) ---- */
typedef AvCmResult (*AvCmMsgOCSPAddResponse_t)(AvCmHandle message, const void* response,
                                               uint32_t length, uint32_t flags);
typedef AvCmResult (*AvCmMsgOCSPGetResponseAttr_t)(AvCmHandle message, uint32_t index, uint32_t id,
                                                   void* buffer, uint32_t* length, uint32_t flags);
typedef AvCmResult (*AvCmMsgOCSPGetResponse_t)(AvCmHandle message, uint32_t index, void* buffer,
                                               uint32_t* length, uint32_t flags);
typedef AvCmResult (*AvCmCheckCrlDP_t)(AvCmHandle certificate, uint32_t flags);
typedef AvCmResult (*AvCmCreateScep_t)(AvCmHandle connection, AvCmHandle* scep, uint32_t flags);
typedef AvCmResult (*AvCmScepExecute_t)(AvCmHandle scep, uint32_t flags);
typedef AvCmResult (*AvCmScepSet_t)(AvCmHandle scep, uint32_t id, const void* value,
                                    uint32_t length, uint32_t flags);
typedef AvCmResult (*AvCmScepGet_t)(AvCmHandle scep, uint32_t id, void* buffer, uint32_t* length,
                                    uint32_t flags);
typedef AvCmResult (*AvCmOpenEnum_t)(AvCmHandle connection, uint32_t kind, uint32_t count,
                                     const AvCmFindParam* params, AvCmHandle* enumeration,
                                     uint32_t flags);
typedef AvCmResult (*AvCmShowObjectInfoExt_t)(AvCmHandle object, uint32_t flags);
typedef AvCmResult (*AvCmTLSCreateConnect_t)(AvCmHandle connection, const char* address,
                                             AvCmHandle* tls, uint32_t flags);
typedef AvCmResult (*AvCmTlsGet_t)(AvCmHandle tls, const char* path, void* buffer, uint32_t* length,
                                   uint32_t flags);
typedef AvCmResult (*AvCmTlsPost_t)(AvCmHandle tls, const char* path, const void* data,
                                    uint32_t dataLength, void* buffer, uint32_t* length,
                                    uint32_t flags);
typedef AvCmResult (*AvCmDebugLog_t)(uint32_t level, const char* text);

/* Declarations for the library's own build: it defines these with C linkage and exports them. */
#ifdef AVCM_DECLARE_EXPORTS
#define AVCM_EXPORT __attribute__((visibility("default")))
AVCM_EXPORT AvCmResult AvCmInit(uint32_t mode);
AVCM_EXPORT AvCmResult AvCmLogin(uint32_t count, const AvCmLoginParam* params,
                                 AvCmHandle* connection, uint32_t flags);
AVCM_EXPORT AvCmResult AvCmLogout(AvCmHandle connection, uint32_t flags);
AVCM_EXPORT AvCmResult AvCmOpenCertEnum(AvCmHandle connection, uint32_t count,
                                        const AvCmFindParam* params, AvCmHandle* enumeration,
                                        uint32_t flags);
AVCM_EXPORT AvCmResult AvCmEnumGet(AvCmHandle enumeration, AvCmHandle* item, uint32_t flags);
AVCM_EXPORT AvCmResult AvCmGetCertAttr(AvCmHandle certificate, uint32_t id, uint32_t index,
                                       void* buffer, uint32_t* length, uint32_t flags);
AVCM_EXPORT AvCmResult AvCmDuplicateHandle(AvCmHandle handle, AvCmHandle connection,
                                           AvCmHandle* duplicate, uint32_t flags);
AVCM_EXPORT AvCmResult AvCmOpenMsg(AvCmHandle connection, const void* data, uint32_t length,
                                   AvCmHandle* message, uint32_t flags);
AVCM_EXPORT AvCmResult AvCmMsgSetAttribute(AvCmHandle message, uint32_t id, const void* value,
                                           uint32_t valueLength, uint32_t index, uint32_t flags);
AVCM_EXPORT AvCmResult AvCmMsgSign(AvCmHandle message, uint32_t flags);
AVCM_EXPORT AvCmResult AvCmGetMsg(AvCmHandle message, void* buffer, uint32_t* length,
                                  uint32_t flags);
AVCM_EXPORT AvCmResult AvCmCloseHandle(AvCmHandle handle, uint32_t flags);
AVCM_EXPORT AvCmResult AvCmGetErrorInfo(AvCmHandle connection, AvCmResult error, uint32_t kind,
                                        char* buffer, uint32_t* length, uint32_t flags);
AVCM_EXPORT AvCmResult AvCmMsgOCSPAddResponse(AvCmHandle message, const void* response,
                                              uint32_t length, uint32_t flags);
AVCM_EXPORT AvCmResult AvCmMsgOCSPGetResponseAttr(AvCmHandle message, uint32_t index, uint32_t id,
                                                  void* buffer, uint32_t* length, uint32_t flags);
AVCM_EXPORT AvCmResult AvCmMsgOCSPGetResponse(AvCmHandle message, uint32_t index, void* buffer,
                                              uint32_t* length, uint32_t flags);
AVCM_EXPORT AvCmResult AvCmCheckCrlDP(AvCmHandle certificate, uint32_t flags);
AVCM_EXPORT AvCmResult AvCmCreateScep(AvCmHandle connection, AvCmHandle* scep, uint32_t flags);
AVCM_EXPORT AvCmResult AvCmScepExecute(AvCmHandle scep, uint32_t flags);
AVCM_EXPORT AvCmResult AvCmScepSet(AvCmHandle scep, uint32_t id, const void* value, uint32_t length,
                                   uint32_t flags);
AVCM_EXPORT AvCmResult AvCmScepGet(AvCmHandle scep, uint32_t id, void* buffer, uint32_t* length,
                                   uint32_t flags);
AVCM_EXPORT AvCmResult AvCmOpenEnum(AvCmHandle connection, uint32_t kind, uint32_t count,
                                    const AvCmFindParam* params, AvCmHandle* enumeration,
                                    uint32_t flags);
AVCM_EXPORT AvCmResult AvCmShowObjectInfoExt(AvCmHandle object, uint32_t flags);
AVCM_EXPORT AvCmResult AvCmTLSCreateConnect(AvCmHandle connection, const char* address,
                                            AvCmHandle* tls, uint32_t flags);
AVCM_EXPORT AvCmResult AvCmTlsGet(AvCmHandle tls, const char* path, void* buffer, uint32_t* length,
                                  uint32_t flags);
AVCM_EXPORT AvCmResult AvCmTlsPost(AvCmHandle tls, const char* path, const void* data,
                                   uint32_t dataLength, void* buffer, uint32_t* length,
                                   uint32_t flags);
AVCM_EXPORT AvCmResult AvCmDebugLog(uint32_t level, const char* text);
#endif

#ifdef __cplusplus
}
#endif

#endif /* KORVALO_ENGINES_AVCRYPTMAIL_API_H */
