#include "services/engines/avcryptmail.h"

#include <dlfcn.h>

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <system_error>

#include "core/text.h"

namespace korvalo {

namespace {

// The stand-in of a version-gated entry point that the library's version does not reach.
template <typename Fn>
struct NotSupported;
template <typename... Args>
struct NotSupported<AvCmResult (*)(Args...)> {
    static AvCmResult Call(Args...) { return AVCM_E_NOT_SUPPORTED; }
};

// The loader's text of the last failure, or fallback when it has none.
std::string LoaderText(const std::string& fallback) {
    const char* text = dlerror();
    return text != nullptr ? std::string(text) : fallback;
}

// Parses "a[.b[.c[.d]]]", each part a decimal number that fits in 32 bits.
[[nodiscard]] bool ParseVersionSuffix(std::string_view suffix, std::string& version) {
    std::uint32_t parts[4] = {0, 0, 0, 0};
    std::size_t count = 0;
    std::size_t pos = 0;
    while (true) {
        const std::size_t dot = std::min(suffix.find('.', pos), suffix.size());
        const std::string_view part = suffix.substr(pos, dot - pos);
        if (part.empty() || count == 4)
            return false;
        std::uint32_t value = 0;
        const auto [end, ec] = std::from_chars(part.data(), part.data() + part.size(), value);
        if (ec != std::errc() || end != part.data() + part.size())
            return false;
        parts[count++] = value;
        if (dot == suffix.size())
            break;
        pos = dot + 1;
    }
    version = std::to_string(parts[0]) + "." + std::to_string(parts[1]) + "." +
              std::to_string(parts[2]) + "." + std::to_string(parts[3]);
    return true;
}

// The process-wide loaded copy. Destroyed at program exit, which releases a copy still loaded.
struct LoadedState {
    std::mutex mutex;
    std::shared_ptr<const AvCryptMailLibrary> library;
};

LoadedState& State() {
    static LoadedState state;
    return state;
}

}  // namespace

std::string AvestFolder() {
    const char* env = std::getenv("KORVALO_AVEST_DIR");
    std::string folder = (env != nullptr && *env != '\0') ? env : kAvestDefaultFolder;
    if (folder.back() != '/')
        folder += '/';
    return folder;
}

std::string AvCryptMailPath(const std::string& name) {
    if (name.empty())
        return AvestFolder() + kAvCryptMailFileName;
    if (name.find('/') == std::string::npos)
        return AvestFolder() + name;
    return name;
}

std::string AvCryptMailVersionOf(const std::string& path) {
    std::error_code ec;
    const std::filesystem::path resolved = std::filesystem::canonical(path, ec);
    const std::string file = (ec ? std::filesystem::path(path) : resolved).filename().string();
    const std::size_t so = file.find(".so.");
    std::string version;
    if (so == std::string::npos ||
        !ParseVersionSuffix(std::string_view(file).substr(so + 4), version))
        return "0.0.0.0";
    return version;
}

bool VersionAfter(std::string_view version, std::string_view gate) {
    // char_traits<char> compares as unsigned char: an ordinal comparison of the bytes.
    return version.compare(gate) > 0;
}

// ---- AvCryptMailLibrary ----

void AvCryptMailLibrary::ModuleCloser::operator()(void* module) const {
    if (module != nullptr)
        dlclose(module);
}

AvCryptMailLibrary::AvCryptMailLibrary(OpenKey, Module module, std::string path,
                                       std::string version)
    : module_(std::move(module)), path_(std::move(path)), version_(std::move(version)) {
    certEnumAttrCerts_ = VersionAfter(version_, "3.4.0");

    Bind(entries_.AvCmInit, "AvCmInit", nullptr, true);
    Bind(entries_.AvCmLogin, "AvCmLogin", nullptr, false);
    Bind(entries_.AvCmLogout, "AvCmLogout", nullptr, false);
    Bind(entries_.AvCmOpenCertEnum, "AvCmOpenCertEnum", nullptr, false);
    Bind(entries_.AvCmEnumGet, "AvCmEnumGet", nullptr, false);
    Bind(entries_.AvCmGetCertAttr, "AvCmGetCertAttr", nullptr, false);
    Bind(entries_.AvCmDuplicateHandle, "AvCmDuplicateHandle", nullptr, false);
    Bind(entries_.AvCmOpenMsg, "AvCmOpenMsg", nullptr, false);
    Bind(entries_.AvCmMsgSign, "AvCmMsgSign", nullptr, false);
    Bind(entries_.AvCmGetMsg, "AvCmGetMsg", nullptr, false);
    Bind(entries_.AvCmCloseHandle, "AvCmCloseHandle", nullptr, false);
    Bind(entries_.AvCmGetErrorInfo, "AvCmGetErrorInfo", nullptr, false);

    Bind(entries_.AvCmMsgOCSPAddResponse, "AvCmMsgOCSPAddResponse", "2.36.0", true);
    Bind(entries_.AvCmMsgOCSPGetResponseAttr, "AvCmMsgOCSPGetResponseAttr", "2.36.0", false);
    Bind(entries_.AvCmMsgOCSPGetResponse, "AvCmMsgOCSPGetResponse", "2.36.0", false);

    Bind(entries_.AvCmCheckCrlDP, "AvCmCheckCrlDP", "3.0.0", true);

    Bind(entries_.AvCmMsgSetAttribute, "AvCmMsgSetAttribute", "3.3.3", true);

    Bind(entries_.AvCmCreateScep, "AvCmCreateScep", "3.4.0", true);
    Bind(entries_.AvCmScepExecute, "AvCmScepExecute", "3.4.0", false);
    Bind(entries_.AvCmScepSet, "AvCmScepSet", "3.4.0", false);
    Bind(entries_.AvCmScepGet, "AvCmScepGet", "3.4.0", false);
    Bind(entries_.AvCmOpenEnum, "AvCmOpenEnum", "3.4.0", false);
    Bind(entries_.AvCmShowObjectInfoExt, "AvCmShowObjectInfoExt", "3.4.0", false);

    Bind(entries_.AvCmTLSCreateConnect, "AvCmTLSCreateConnect", "4.0.0", true);
    Bind(entries_.AvCmTlsGet, "AvCmTlsGet", "4.0.0", false);
    Bind(entries_.AvCmTlsPost, "AvCmTlsPost", "4.0.0", false);
    Bind(entries_.AvCmDebugLog, "AvCmDebugLog", "4.0.0", false);
}

AvCryptMailLibrary::~AvCryptMailLibrary() = default;

template <typename Fn>
void AvCryptMailLibrary::Bind(Fn& slot, const char* name, const char* gate, bool required) {
    if (gate != nullptr && !VersionAfter(version_, gate)) {
        slot = &NotSupported<Fn>::Call;
        return;
    }
    dlerror();
    if (void* symbol = dlsym(module_.get(), name)) {
        slot = reinterpret_cast<Fn>(symbol);
        return;
    }
    std::string text = LoaderText(path_ + ": undefined symbol: " + name);
    if (required)
        throw AvCryptMailError(text);
    missing_.emplace_back(name, std::move(text));
}

void AvCryptMailLibrary::Missing(const char* name) const {
    for (const auto& [entry, text] : missing_) {
        if (entry == name)
            throw AvCryptMailError(text);
    }
    throw AvCryptMailError(path_ + ": undefined symbol: " + name);
}

std::shared_ptr<const AvCryptMailLibrary> AvCryptMailLibrary::Open(const std::string& path) {
    dlerror();
    Module module(dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL));
    if (!module)
        throw AvCryptMailError(LoaderText(path + ": cannot be loaded"));
    // A constructor that throws releases the module through module_.
    return std::make_shared<const AvCryptMailLibrary>(OpenKey{}, std::move(module), path,
                                                      AvCryptMailVersionOf(path));
}

AvCmResult AvCryptMailLibrary::AvCmInit(std::uint32_t mode) const {
    return entries_.AvCmInit(mode);
}

AvCmResult AvCryptMailLibrary::AvCmLogin(std::uint32_t count, const AvCmLoginParam* params,
                                         AvCmHandle* connection, std::uint32_t flags) const {
    if (entries_.AvCmLogin == nullptr)
        Missing("AvCmLogin");
    return entries_.AvCmLogin(count, params, connection, flags);
}

AvCmResult AvCryptMailLibrary::AvCmLogout(AvCmHandle connection, std::uint32_t flags) const {
    if (entries_.AvCmLogout == nullptr)
        Missing("AvCmLogout");
    return entries_.AvCmLogout(connection, flags);
}

AvCmResult AvCryptMailLibrary::AvCmOpenCertEnum(AvCmHandle connection, std::uint32_t count,
                                                const AvCmFindParam* params,
                                                AvCmHandle* enumeration,
                                                std::uint32_t flags) const {
    if (!certEnumAttrCerts_ && count > 0 && params != nullptr &&
        params[0].id == AVCM_PARAM_ATTR_CERTS_OF)
        return AVCM_E_NOT_SUPPORTED;
    if (entries_.AvCmOpenCertEnum == nullptr)
        Missing("AvCmOpenCertEnum");
    return entries_.AvCmOpenCertEnum(connection, count, params, enumeration, flags);
}

AvCmResult AvCryptMailLibrary::AvCmEnumGet(AvCmHandle enumeration, AvCmHandle* item,
                                           std::uint32_t flags) const {
    if (entries_.AvCmEnumGet == nullptr)
        Missing("AvCmEnumGet");
    return entries_.AvCmEnumGet(enumeration, item, flags);
}

AvCmResult AvCryptMailLibrary::AvCmGetCertAttr(AvCmHandle certificate, std::uint32_t id,
                                               std::uint32_t index, void* buffer,
                                               std::uint32_t* length, std::uint32_t flags) const {
    if (entries_.AvCmGetCertAttr == nullptr)
        Missing("AvCmGetCertAttr");
    return entries_.AvCmGetCertAttr(certificate, id, index, buffer, length, flags);
}

AvCmResult AvCryptMailLibrary::AvCmDuplicateHandle(AvCmHandle handle, AvCmHandle connection,
                                                   AvCmHandle* duplicate,
                                                   std::uint32_t flags) const {
    if (entries_.AvCmDuplicateHandle == nullptr)
        Missing("AvCmDuplicateHandle");
    return entries_.AvCmDuplicateHandle(handle, connection, duplicate, flags);
}

AvCmResult AvCryptMailLibrary::AvCmOpenMsg(AvCmHandle connection, const void* data,
                                           std::uint32_t length, AvCmHandle* message,
                                           std::uint32_t flags) const {
    if (entries_.AvCmOpenMsg == nullptr)
        Missing("AvCmOpenMsg");
    return entries_.AvCmOpenMsg(connection, data, length, message, flags);
}

AvCmResult AvCryptMailLibrary::AvCmMsgSetAttribute(AvCmHandle message, std::uint32_t id,
                                                   const void* value, std::uint32_t valueLength,
                                                   std::uint32_t index, std::uint32_t flags) const {
    if (entries_.AvCmMsgSetAttribute == nullptr)
        Missing("AvCmMsgSetAttribute");
    return entries_.AvCmMsgSetAttribute(message, id, value, valueLength, index, flags);
}

AvCmResult AvCryptMailLibrary::AvCmMsgSign(AvCmHandle message, std::uint32_t flags) const {
    if (entries_.AvCmMsgSign == nullptr)
        Missing("AvCmMsgSign");
    return entries_.AvCmMsgSign(message, flags);
}

AvCmResult AvCryptMailLibrary::AvCmGetMsg(AvCmHandle message, void* buffer, std::uint32_t* length,
                                          std::uint32_t flags) const {
    if (entries_.AvCmGetMsg == nullptr)
        Missing("AvCmGetMsg");
    return entries_.AvCmGetMsg(message, buffer, length, flags);
}

AvCmResult AvCryptMailLibrary::AvCmCloseHandle(AvCmHandle handle, std::uint32_t flags) const {
    if (entries_.AvCmCloseHandle == nullptr)
        Missing("AvCmCloseHandle");
    return entries_.AvCmCloseHandle(handle, flags);
}

std::string AvCryptMailLibrary::ErrorText(AvCmHandle connection, AvCmResult error) const {
    std::string fallback = "AvError: " + std::to_string(error);
    if (entries_.AvCmGetErrorInfo == nullptr)
        return fallback;
    std::uint32_t length = 0;
    if (entries_.AvCmGetErrorInfo(connection, error, AVCM_ERROR_INFO_TEXT, nullptr, &length, 0) !=
            AVCM_OK ||
        length == 0)
        return fallback;
    std::string buffer(length, '\0');
    std::uint32_t written = length;
    if (entries_.AvCmGetErrorInfo(connection, error, AVCM_ERROR_INFO_TEXT, buffer.data(), &written,
                                  0) != AVCM_OK)
        return fallback;
    buffer.resize(std::min<std::size_t>(written, length));
    buffer.resize(std::min(buffer.find('\0'), buffer.size()));
    // An empty text would leave the user without any hint: keep the code then.
    if (buffer.empty())
        return fallback;
    return FromCp1251(buffer);
}

// ---- the process-wide loaded state ----

std::shared_ptr<const AvCryptMailLibrary> LoadAvCryptMail(const std::string& name) {
    LoadedState& state = State();
    std::lock_guard lock(state.mutex);
    if (!state.library)
        state.library = AvCryptMailLibrary::Open(AvCryptMailPath(name));
    return state.library;
}

void UnloadAvCryptMail() {
    std::shared_ptr<const AvCryptMailLibrary> released;
    {
        LoadedState& state = State();
        std::lock_guard lock(state.mutex);
        released.swap(state.library);
    }
    // The module is released here, outside the lock, unless a run still holds it.
}

bool AvCryptMailLoaded() {
    LoadedState& state = State();
    std::lock_guard lock(state.mutex);
    return state.library != nullptr;
}

std::shared_ptr<const AvCryptMailLibrary> AvCryptMail() {
    LoadedState& state = State();
    std::lock_guard lock(state.mutex);
    return state.library;
}

std::string AvErrorText(AvCmHandle connection, AvCmResult error) {
    if (const auto library = AvCryptMail())
        return library->ErrorText(connection, error);
    return "AvError: " + std::to_string(error);
}

}  // namespace korvalo
