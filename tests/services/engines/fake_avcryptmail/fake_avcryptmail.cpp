// A tiny AvCryptMail for the binding's tests: every entry point records its name and succeeds.
//
// Built in variants: FAKE_AV_WITHOUT_INIT leaves out AvCmInit, FAKE_AV_WITHOUT_SET_ATTRIBUTE
// leaves out AvCmMsgSetAttribute and AvCmLogin. FakeAvCalls gives the names called so far,
// each followed by ";"; FakeAvReset forgets them.

#define AVCM_DECLARE_EXPORTS
#include "services/engines/avcryptmail_api.h"

#include <string>

namespace {

std::string calls;

AvCmResult Record(const char* name) {
    calls += name;
    calls += ';';
    return AVCM_OK;
}

// Errors with a text of their own (code page 1251): "Ошибка ключа" for 0x1234; 0x2222 has an
// empty text; every other code has none.
constexpr char kKeyErrorText[] = "\xCE\xF8\xE8\xE1\xEA\xE0 \xEA\xEB\xFE\xF7\xE0";

}  // namespace

extern "C" {

AVCM_EXPORT const char* FakeAvCalls() {
    return calls.c_str();
}

AVCM_EXPORT void FakeAvReset() {
    calls.clear();
}

#ifndef FAKE_AV_WITHOUT_INIT
AvCmResult AvCmInit(uint32_t) {
    return Record("AvCmInit");
}
#endif

#ifndef FAKE_AV_WITHOUT_SET_ATTRIBUTE
AvCmResult AvCmLogin(uint32_t, const AvCmLoginParam*, AvCmHandle*, uint32_t) {
    return Record("AvCmLogin");
}
AvCmResult AvCmMsgSetAttribute(AvCmHandle, uint32_t, const void*, uint32_t, uint32_t, uint32_t) {
    return Record("AvCmMsgSetAttribute");
}
#endif

AvCmResult AvCmLogout(AvCmHandle, uint32_t) {
    return Record("AvCmLogout");
}
AvCmResult AvCmOpenCertEnum(AvCmHandle, uint32_t, const AvCmFindParam*, AvCmHandle*, uint32_t) {
    return Record("AvCmOpenCertEnum");
}
AvCmResult AvCmEnumGet(AvCmHandle, AvCmHandle*, uint32_t) {
    return Record("AvCmEnumGet");
}
AvCmResult AvCmGetCertAttr(AvCmHandle, uint32_t, uint32_t, void*, uint32_t*, uint32_t) {
    return Record("AvCmGetCertAttr");
}
AvCmResult AvCmDuplicateHandle(AvCmHandle, AvCmHandle, AvCmHandle*, uint32_t) {
    return Record("AvCmDuplicateHandle");
}
AvCmResult AvCmOpenMsg(AvCmHandle, const void*, uint32_t, AvCmHandle*, uint32_t) {
    return Record("AvCmOpenMsg");
}
AvCmResult AvCmMsgSign(AvCmHandle, uint32_t) {
    return Record("AvCmMsgSign");
}
AvCmResult AvCmGetMsg(AvCmHandle, void*, uint32_t*, uint32_t) {
    return Record("AvCmGetMsg");
}
AvCmResult AvCmCloseHandle(AvCmHandle, uint32_t) {
    return Record("AvCmCloseHandle");
}

AvCmResult AvCmGetErrorInfo(AvCmHandle, AvCmResult error, uint32_t kind, char* buffer,
                            uint32_t* length, uint32_t) {
    Record("AvCmGetErrorInfo");
    if (kind != AVCM_ERROR_INFO_TEXT || length == nullptr)
        return AVCM_E_INVALID_PARAMETER;
    std::string text;
    if (error == 0x1234u)
        text = kKeyErrorText;
    else if (error != 0x2222u)
        return AVCM_E_INVALID_PARAMETER;
    const uint32_t needed = static_cast<uint32_t>(text.size() + 1);
    if (buffer == nullptr) {
        *length = needed;
        return AVCM_OK;
    }
    if (*length < needed) {
        *length = needed;
        return AVCM_E_MORE_DATA;
    }
    text.copy(buffer, text.size());
    buffer[text.size()] = '\0';
    *length = needed;
    return AVCM_OK;
}

AvCmResult AvCmMsgOCSPAddResponse(AvCmHandle, const void*, uint32_t, uint32_t) {
    return Record("AvCmMsgOCSPAddResponse");
}
AvCmResult AvCmMsgOCSPGetResponseAttr(AvCmHandle, uint32_t, uint32_t, void*, uint32_t*, uint32_t) {
    return Record("AvCmMsgOCSPGetResponseAttr");
}
AvCmResult AvCmMsgOCSPGetResponse(AvCmHandle, uint32_t, void*, uint32_t*, uint32_t) {
    return Record("AvCmMsgOCSPGetResponse");
}
AvCmResult AvCmCheckCrlDP(AvCmHandle, uint32_t) {
    return Record("AvCmCheckCrlDP");
}
AvCmResult AvCmCreateScep(AvCmHandle, AvCmHandle*, uint32_t) {
    return Record("AvCmCreateScep");
}
AvCmResult AvCmScepExecute(AvCmHandle, uint32_t) {
    return Record("AvCmScepExecute");
}
AvCmResult AvCmScepSet(AvCmHandle, uint32_t, const void*, uint32_t, uint32_t) {
    return Record("AvCmScepSet");
}
AvCmResult AvCmScepGet(AvCmHandle, uint32_t, void*, uint32_t*, uint32_t) {
    return Record("AvCmScepGet");
}
AvCmResult AvCmOpenEnum(AvCmHandle, uint32_t, uint32_t, const AvCmFindParam*, AvCmHandle*,
                        uint32_t) {
    return Record("AvCmOpenEnum");
}
AvCmResult AvCmShowObjectInfoExt(AvCmHandle, uint32_t) {
    return Record("AvCmShowObjectInfoExt");
}
AvCmResult AvCmTLSCreateConnect(AvCmHandle, const char*, AvCmHandle*, uint32_t) {
    return Record("AvCmTLSCreateConnect");
}
AvCmResult AvCmTlsGet(AvCmHandle, const char*, void*, uint32_t*, uint32_t) {
    return Record("AvCmTlsGet");
}
AvCmResult AvCmTlsPost(AvCmHandle, const char*, const void*, uint32_t, void*, uint32_t*, uint32_t) {
    return Record("AvCmTlsPost");
}
AvCmResult AvCmDebugLog(uint32_t, const char*) {
    return Record("AvCmDebugLog");
}

}  // extern "C"
