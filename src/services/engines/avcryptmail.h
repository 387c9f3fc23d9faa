#pragma once
// The binding of the AvCryptMail library: loading, version gates, entry points, error texts.

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "services/engines/avcryptmail_api.h"

namespace korvalo {

// A failure of the binding: the library cannot be loaded (the text is the loader's own), a
// required entry point is missing, or an entry point that a caller needs was not found.
class AvCryptMailError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The library's file name and the default folder it is loaded from.
inline constexpr char kAvCryptMailFileName[] = "libAvCryptMail.so";
inline constexpr char kAvestDefaultFolder[] = "/opt/Avest/AvPCM_nces/";

// The folder the library is loaded from, with a trailing "/": $KORVALO_AVEST_DIR when set and
// not empty, else kAvestDefaultFolder.
std::string AvestFolder();

// The file a library name stands for: empty gives kAvCryptMailFileName in AvestFolder(); a
// name without "/" is taken from AvestFolder(); a name with "/" is used as it is.
std::string AvCryptMailPath(const std::string& name);

// The version text a.b.c.d of a library file: the numeric suffix after ".so." of the file the
// path finally resolves to (symbolic links followed), missing parts as 0; "0.0.0.0" when there
// is no such suffix. "libAvCryptMail.so.3.4.1.0" gives "3.4.1.0", "libAvCryptMail.so.4"
// gives "4.0.0.0".
std::string AvCryptMailVersionOf(const std::string& path);

// True when version sorts strictly after gate, comparing the texts byte by byte.
bool VersionAfter(std::string_view version, std::string_view gate);

// The entry points of one loaded copy. Each pointer is the library's function, a stand-in
// returning AVCM_E_NOT_SUPPORTED (a version-gated entry point the version does not reach), or
// null (an optional entry point the library does not export).
struct AvCmEntryPoints {
    AvCmInit_t AvCmInit = nullptr;
    AvCmLogin_t AvCmLogin = nullptr;
    AvCmLogout_t AvCmLogout = nullptr;
    AvCmOpenCertEnum_t AvCmOpenCertEnum = nullptr;
    AvCmEnumGet_t AvCmEnumGet = nullptr;
    AvCmGetCertAttr_t AvCmGetCertAttr = nullptr;
    AvCmDuplicateHandle_t AvCmDuplicateHandle = nullptr;
    AvCmOpenMsg_t AvCmOpenMsg = nullptr;
    AvCmMsgSign_t AvCmMsgSign = nullptr;
    AvCmGetMsg_t AvCmGetMsg = nullptr;
    AvCmCloseHandle_t AvCmCloseHandle = nullptr;
    AvCmGetErrorInfo_t AvCmGetErrorInfo = nullptr;
    // after "2.36.0"
    AvCmMsgOCSPAddResponse_t AvCmMsgOCSPAddResponse = nullptr;
    AvCmMsgOCSPGetResponseAttr_t AvCmMsgOCSPGetResponseAttr = nullptr;
    AvCmMsgOCSPGetResponse_t AvCmMsgOCSPGetResponse = nullptr;
    // after "3.0.0"
    AvCmCheckCrlDP_t AvCmCheckCrlDP = nullptr;
    // after "3.3.3"
    AvCmMsgSetAttribute_t AvCmMsgSetAttribute = nullptr;
    // after "3.4.0"
    AvCmCreateScep_t AvCmCreateScep = nullptr;
    AvCmScepExecute_t AvCmScepExecute = nullptr;
    AvCmScepSet_t AvCmScepSet = nullptr;
    AvCmScepGet_t AvCmScepGet = nullptr;
    AvCmOpenEnum_t AvCmOpenEnum = nullptr;
    AvCmShowObjectInfoExt_t AvCmShowObjectInfoExt = nullptr;
    // after "4.0.0"
    AvCmTLSCreateConnect_t AvCmTLSCreateConnect = nullptr;
    AvCmTlsGet_t AvCmTlsGet = nullptr;
    AvCmTlsPost_t AvCmTlsPost = nullptr;
    AvCmDebugLog_t AvCmDebugLog = nullptr;
};

// One loaded copy of the library. Immutable once opened; the module stays loaded as long as
// any shared_ptr to it lives, so a run that holds one is safe from an unload elsewhere.
//
// The call methods forward to the library. A method whose entry point the library does not
// export throws AvCryptMailError with the loader's text for the missing name.
class AvCryptMailLibrary {
public:
    // Loads the file at path and binds its entry points. Throws AvCryptMailError with the
    // loader's text when the file cannot be loaded or a required entry point is missing; the
    // module is released again in that case.
    static std::shared_ptr<const AvCryptMailLibrary> Open(const std::string& path);

private:
    struct ModuleCloser {
        void operator()(void* module) const;
    };
    using Module = std::unique_ptr<void, ModuleCloser>;
    // Only Open makes copies.
    struct OpenKey {
        explicit OpenKey() = default;
    };

public:
    AvCryptMailLibrary(OpenKey, Module module, std::string path, std::string version);
    ~AvCryptMailLibrary();
    AvCryptMailLibrary(const AvCryptMailLibrary&) = delete;
    AvCryptMailLibrary& operator=(const AvCryptMailLibrary&) = delete;

    const std::string& Path() const { return path_; }
    const std::string& Version() const { return version_; }
    const AvCmEntryPoints& Entries() const { return entries_; }

    [[nodiscard]] AvCmResult AvCmInit(std::uint32_t mode) const;
    [[nodiscard]] AvCmResult AvCmLogin(std::uint32_t count, const AvCmLoginParam* params,
                                       AvCmHandle* connection, std::uint32_t flags) const;
    [[nodiscard]] AvCmResult AvCmLogout(AvCmHandle connection, std::uint32_t flags) const;
    // With a first entry of id AVCM_PARAM_ATTR_CERTS_OF and a version not after "3.4.0",
    // returns AVCM_E_NOT_SUPPORTED without calling the library.
    [[nodiscard]] AvCmResult AvCmOpenCertEnum(AvCmHandle connection, std::uint32_t count,
                                              const AvCmFindParam* params, AvCmHandle* enumeration,
                                              std::uint32_t flags) const;
    [[nodiscard]] AvCmResult AvCmEnumGet(AvCmHandle enumeration, AvCmHandle* item,
                                         std::uint32_t flags) const;
    [[nodiscard]] AvCmResult AvCmGetCertAttr(AvCmHandle certificate, std::uint32_t id,
                                             std::uint32_t index, void* buffer,
                                             std::uint32_t* length, std::uint32_t flags) const;
    [[nodiscard]] AvCmResult AvCmDuplicateHandle(AvCmHandle handle, AvCmHandle connection,
                                                 AvCmHandle* duplicate, std::uint32_t flags) const;
    [[nodiscard]] AvCmResult AvCmOpenMsg(AvCmHandle connection, const void* data,
                                         std::uint32_t length, AvCmHandle* message,
                                         std::uint32_t flags) const;
    [[nodiscard]] AvCmResult AvCmMsgSetAttribute(AvCmHandle message, std::uint32_t id,
                                                 const void* value, std::uint32_t valueLength,
                                                 std::uint32_t index, std::uint32_t flags) const;
    [[nodiscard]] AvCmResult AvCmMsgSign(AvCmHandle message, std::uint32_t flags) const;
    [[nodiscard]] AvCmResult AvCmGetMsg(AvCmHandle message, void* buffer, std::uint32_t* length,
                                        std::uint32_t flags) const;
    [[nodiscard]] AvCmResult AvCmCloseHandle(AvCmHandle handle, std::uint32_t flags) const;

    // "AvError: " + error in unsigned decimal, or the library's own text for the error when
    // AvCmGetErrorInfo gives one (converted from the single-byte code page to UTF-8).
    std::string ErrorText(AvCmHandle connection, AvCmResult error) const;

private:
    // Binds one entry point. gate: bound only when the version is after it, else the
    // AVCM_E_NOT_SUPPORTED stand-in. required: a missing entry point fails the load.
    template <typename Fn>
    void Bind(Fn& slot, const char* name, const char* gate, bool required);
    // Throws the loader's text for a missing entry point.
    [[noreturn]] void Missing(const char* name) const;

    Module module_;
    std::string path_;
    std::string version_;
    bool certEnumAttrCerts_ = false;  // version after "3.4.0"
    AvCmEntryPoints entries_;
    // Optional entry points the library does not export, each with the loader's text.
    std::vector<std::pair<std::string, std::string>> missing_;
};

// ---- the process-wide loaded state ----

// Loads the library unless it is loaded: name as AvCryptMailPath takes it. Returns the loaded
// copy (hold it for the length of a run). Throws AvCryptMailError (the loader's text) on
// failure and leaves nothing loaded. The loaded copy is released at program exit unless
// UnloadAvCryptMail released it before.
std::shared_ptr<const AvCryptMailLibrary> LoadAvCryptMail(const std::string& name = "");

// Forgets the loaded copy; the module is released once no run holds it any more. Nothing
// happens when nothing is loaded.
void UnloadAvCryptMail();

// Whether a copy is loaded.
bool AvCryptMailLoaded();

// The loaded copy, or null.
std::shared_ptr<const AvCryptMailLibrary> AvCryptMail();

// AvCryptMailLibrary::ErrorText over the loaded copy; "AvError: " + error when none is loaded.
std::string AvErrorText(AvCmHandle connection, AvCmResult error);

}  // namespace korvalo
