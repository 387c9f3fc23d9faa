// A PKCS#11 module for tests: forwards every call to SoftHSM and injects what SoftHSM cannot
// show: a locked PIN, a PIN pad, a token taken out (now, or after some signatures). The test
// sets the faults through the functions exported at the end, on the same loaded module as the
// code under test.

#include <dlfcn.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include <p11-kit/pkcs11.h>

namespace {

std::mutex g_mutex;  // guards the fields below that are not atomic
CK_FUNCTION_LIST* g_real = nullptr;
CK_FUNCTION_LIST g_list;
std::vector<CK_SLOT_ID> g_slots;  // the slots seen, closed when the token goes
std::string g_padPin;             // non-empty: the token has a PIN pad that enters it

std::atomic<bool> g_locked{false};
std::atomic<bool> g_removed{false};
std::atomic<long> g_removeAfterSigns{-1};
std::atomic<long> g_userLogins{0};
std::atomic<long> g_contextLogins{0};
std::atomic<long> g_signs{0};

void TakeOut() {
    g_removed = true;
    std::vector<CK_SLOT_ID> slots;
    {
        std::lock_guard lock(g_mutex);
        slots = g_slots;
    }
    // A real token's sessions end with it, and so does its login.
    for (CK_SLOT_ID slot : slots)
        g_real->C_CloseAllSessions(slot);
}

void Signed() {
    ++g_signs;
    long left = g_removeAfterSigns.load();
    if (left > 0 && g_removeAfterSigns.compare_exchange_strong(left, left - 1) && left == 1)
        TakeOut();
}

CK_RV GetSlotList(CK_BBOOL present, CK_SLOT_ID_PTR list, CK_ULONG_PTR count) {
    CK_ULONG n = 0;
    CK_RV rv = g_real->C_GetSlotList(CK_FALSE, nullptr, &n);
    if (rv != CKR_OK)
        return rv;
    std::vector<CK_SLOT_ID> all(n);
    rv = g_real->C_GetSlotList(CK_FALSE, all.data(), &n);
    if (rv != CKR_OK)
        return rv;
    all.resize(n);
    {
        std::lock_guard lock(g_mutex);
        g_slots = all;
    }
    std::vector<CK_SLOT_ID> shown;
    for (CK_SLOT_ID slot : all) {
        CK_SLOT_INFO info{};
        if (g_real->C_GetSlotInfo(slot, &info) != CKR_OK)
            continue;
        const bool hasToken = (info.flags & CKF_TOKEN_PRESENT) && !g_removed;
        if (!present || hasToken)
            shown.push_back(slot);
    }
    if (list == nullptr) {
        *count = shown.size();
        return CKR_OK;
    }
    if (*count < shown.size()) {
        *count = shown.size();
        return CKR_BUFFER_TOO_SMALL;
    }
    std::memcpy(list, shown.data(), shown.size() * sizeof(CK_SLOT_ID));
    *count = shown.size();
    return CKR_OK;
}

CK_RV GetSlotInfo(CK_SLOT_ID slot, CK_SLOT_INFO_PTR info) {
    const CK_RV rv = g_real->C_GetSlotInfo(slot, info);
    if (rv == CKR_OK && g_removed)
        info->flags &= ~CKF_TOKEN_PRESENT;
    return rv;
}

CK_RV GetTokenInfo(CK_SLOT_ID slot, CK_TOKEN_INFO_PTR info) {
    if (g_removed)
        return CKR_TOKEN_NOT_PRESENT;
    const CK_RV rv = g_real->C_GetTokenInfo(slot, info);
    if (rv != CKR_OK)
        return rv;
    if (g_locked)
        info->flags |= CKF_USER_PIN_LOCKED;
    std::lock_guard lock(g_mutex);
    if (!g_padPin.empty())
        info->flags |= CKF_PROTECTED_AUTHENTICATION_PATH;
    return rv;
}

CK_RV OpenSession(CK_SLOT_ID slot, CK_FLAGS flags, CK_VOID_PTR app, CK_NOTIFY notify,
                  CK_SESSION_HANDLE_PTR session) {
    if (g_removed)
        return CKR_TOKEN_NOT_PRESENT;
    return g_real->C_OpenSession(slot, flags, app, notify, session);
}

CK_RV GetSessionInfo(CK_SESSION_HANDLE session, CK_SESSION_INFO_PTR info) {
    if (g_removed)
        return CKR_DEVICE_REMOVED;
    return g_real->C_GetSessionInfo(session, info);
}

CK_RV Login(CK_SESSION_HANDLE session, CK_USER_TYPE user, CK_UTF8CHAR_PTR pin, CK_ULONG len) {
    if (g_removed)
        return CKR_DEVICE_REMOVED;
    if (user == CKU_USER)
        ++g_userLogins;
    if (user == CKU_CONTEXT_SPECIFIC)
        ++g_contextLogins;
    if (user != CKU_SO && g_locked)
        return CKR_PIN_LOCKED;
    std::string padPin;
    {
        std::lock_guard lock(g_mutex);
        padPin = g_padPin;
    }
    if (pin == nullptr && !padPin.empty()) {
        return g_real->C_Login(session, user, reinterpret_cast<CK_UTF8CHAR_PTR>(padPin.data()),
                               padPin.size());
    }
    return g_real->C_Login(session, user, pin, len);
}

CK_RV SignInit(CK_SESSION_HANDLE session, CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE key) {
    if (g_removed)
        return CKR_DEVICE_REMOVED;
    return g_real->C_SignInit(session, mechanism, key);
}

CK_RV Sign(CK_SESSION_HANDLE session, CK_BYTE_PTR data, CK_ULONG len, CK_BYTE_PTR signature,
           CK_ULONG_PTR signatureLen) {
    if (g_removed)
        return CKR_DEVICE_REMOVED;
    const CK_RV rv = g_real->C_Sign(session, data, len, signature, signatureLen);
    if (rv == CKR_OK && signature != nullptr)
        Signed();
    return rv;
}

CK_RV FindObjectsInit(CK_SESSION_HANDLE session, CK_ATTRIBUTE_PTR templ, CK_ULONG count) {
    if (g_removed)
        return CKR_DEVICE_REMOVED;
    return g_real->C_FindObjectsInit(session, templ, count);
}

CK_RV GetFunctionList(CK_FUNCTION_LIST_PTR_PTR list);

bool Bind() {
    std::lock_guard lock(g_mutex);
    if (g_real != nullptr)
        return true;
    void* softhsm = dlopen(KORVALO_SOFTHSM_MODULE, RTLD_NOW | RTLD_LOCAL);
    if (softhsm == nullptr)
        return false;
    auto get = reinterpret_cast<CK_C_GetFunctionList>(dlsym(softhsm, "C_GetFunctionList"));
    CK_FUNCTION_LIST* real = nullptr;
    if (get == nullptr || get(&real) != CKR_OK)
        return false;
    g_real = real;
    g_list = *real;
    g_list.C_GetFunctionList = GetFunctionList;
    g_list.C_GetSlotList = GetSlotList;
    g_list.C_GetSlotInfo = GetSlotInfo;
    g_list.C_GetTokenInfo = GetTokenInfo;
    g_list.C_OpenSession = OpenSession;
    g_list.C_GetSessionInfo = GetSessionInfo;
    g_list.C_Login = Login;
    g_list.C_SignInit = SignInit;
    g_list.C_Sign = Sign;
    g_list.C_FindObjectsInit = FindObjectsInit;
    return true;
}

CK_RV GetFunctionList(CK_FUNCTION_LIST_PTR_PTR list) {
    if (list == nullptr)
        return CKR_ARGUMENTS_BAD;
    if (!Bind())
        return CKR_GENERAL_ERROR;
    *list = &g_list;
    return CKR_OK;
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR list) {
    return GetFunctionList(list);
}

// name: "locked", "removed" (0 or 1), "removeAfterSigns" (count, negative: never), "reset".
__attribute__((visibility("default"))) void korvalo_fault_set(const char* name, long value) {
    const std::string what = name;
    if (what == "locked") {
        g_locked = value != 0;
    } else if (what == "removed") {
        if (value != 0)
            TakeOut();
        else
            g_removed = false;
    } else if (what == "removeAfterSigns") {
        g_removeAfterSigns = value;
    } else if (what == "reset") {
        g_locked = false;
        g_removed = false;
        g_removeAfterSigns = -1;
        g_userLogins = 0;
        g_contextLogins = 0;
        g_signs = 0;
        std::lock_guard lock(g_mutex);
        g_padPin.clear();
    }
}

// The PIN the PIN pad enters; empty: no PIN pad.
__attribute__((visibility("default"))) void korvalo_fault_set_pin(const char* pin) {
    std::lock_guard lock(g_mutex);
    g_padPin = pin != nullptr ? pin : "";
}

// "userLogins", "contextLogins", "signs".
__attribute__((visibility("default"))) long korvalo_fault_get(const char* name) {
    const std::string what = name;
    if (what == "userLogins")
        return g_userLogins;
    if (what == "contextLogins")
        return g_contextLogins;
    if (what == "signs")
        return g_signs;
    return -1;
}

}  // extern "C"
