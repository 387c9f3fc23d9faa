#include "services/update/update_comp.h"

#include <charconv>
#include <filesystem>

#include "core/paths.h"
#include "core/text.h"
#include "core/version.h"
#include "platform/desktop/commands.h"

namespace korvalo {

namespace {

namespace fs = std::filesystem;

// The per-user folder of every program of the maker, below the application-data folder.
constexpr const char* kVendorFolder = "/VALDOR/";
// The updater as the program's folder holds it, and as it runs from the per-user folder.
constexpr const char* kUpdaterSource = "_Renovar";
constexpr const char* kUpdaterName = "Renovar";

std::string WithoutTrailingSlash(std::string folder) {
    while (folder.size() > 1 && folder.back() == '/')
        folder.pop_back();
    return folder;
}

// A decimal number in 32 bits (an optional sign, digits, nothing else), or 0.
int DecimalOrZero(const std::string& text) {
    const char* begin = text.data();
    const char* end = begin + text.size();
    if (begin != end && *begin == '+')
        ++begin;
    int value = 0;
    const auto [at, error] = std::from_chars(begin, end, value);
    return error == std::errc() && at == end && begin != end ? value : 0;
}

// An empty proxy value goes to the updater as a quoted blank.
void QuoteWhenEmpty(std::string& value) {
    if (value.empty())
        value = "\" \"";
}

}  // namespace

VersionResource CompiledVersionResource() {
    return VersionResource{kProgramVersion, kInternalName};
}

std::string ProgramFolderName(const std::string& fileName) {
    if (fileName.size() >= 4 &&
        EqualsNoCase(std::string_view(fileName).substr(fileName.size() - 4), ".exe"))
        return fileName.substr(0, fileName.size() - 4);
    return fileName;
}

TUpdateComp::TUpdateComp(IUpdateWindows* windows, UpdateCompEnvironment environment)
    : windows_(windows), environment_(std::move(environment)) {
    if (!environment_.module)
        environment_.module = std::make_shared<UpdateModuleSlot>();
    if (!environment_.versionResource)
        environment_.versionResource = &CompiledVersionResource;
    if (environment_.executablePath.empty())
        environment_.executablePath = ExecutablePath();
    if (!environment_.startProgram) {
        environment_.startProgram = [](const std::string& program, const std::string& parameters) {
            return StartDetached(program, SplitCommandLine(parameters));
        };
    }
    environment_.module->Create();
}

std::string TUpdateComp::GetUserAppDir() const {
    return WithoutTrailingSlash(ConfigHome());
}

std::string TUpdateComp::GetUserDocDir() const {
    return WithoutTrailingSlash(DocumentsFolder());
}

bool TUpdateComp::IsVALDORTrader(const std::string& strAppPath) const {
    std::error_code ec;
    return fs::exists(fs::path(strAppPath).replace_extension(".loc"), ec);
}

std::string TUpdateComp::GetIniPath(const std::string& strAppPath) const {
    const fs::path app(strAppPath);
    if (IsVALDORTrader(strAppPath))
        return fs::path(app).replace_extension(".ini").string();
    const std::string fileName = app.filename().string();
    return GetUserAppDir() + kVendorFolder + ProgramFolderName(fileName) + "/" +
           fs::path(fileName).replace_extension(".ini").string();
}

int TUpdateComp::PrepareFiles(const std::string& strAppPath) {
    if (IsVALDORTrader(strAppPath))
        return 0;
    const fs::path app(strAppPath);
    const std::string folder =
        GetUserAppDir() + kVendorFolder + ProgramFolderName(app.filename().string());
    if (!CreatePrivateFolders(folder))
        return 0;
    // Copied under a passing name and then put in place, so that an older copy (or whatever
    // else stands there) is replaced whole and never written through.
    std::error_code ec;
    const fs::path target = fs::path(folder) / kUpdaterName;
    const fs::path passing = fs::path(folder) / (std::string(".") + kUpdaterName + ".new");
    fs::remove(passing, ec);
    if (fs::copy_file(app.parent_path() / kUpdaterSource, passing, ec))
        fs::rename(passing, target, ec);
    if (ec)
        fs::remove(passing, ec);
    return 0;
}

void TUpdateComp::ReadVersionResource() {
    const VersionResource resource = environment_.versionResource();
    if (resource.FileVersion)
        FCurVersion = *resource.FileVersion;
    if (resource.InternalName)
        FModuleName = *resource.InternalName;
    const fs::path folder = fs::path(environment_.executablePath).parent_path();
    FInitialDir = folder.empty() ? std::string() : WithoutTrailingSlash(folder.string()) + "/";
}

void TUpdateComp::SplitProxyServer() {
    const std::size_t colon = FProxyServer.find(':');
    const std::string port =
        colon == std::string::npos ? FProxyServer : FProxyServer.substr(colon + 1);
    FProxyServer = colon == std::string::npos ? std::string() : FProxyServer.substr(0, colon);
    FProxyPort = DecimalOrZero(port);
}

std::string TUpdateComp::UpdaterParameters() const {
    return FModuleName + " " + FCurVersion + " " + FActVersion + " " + FProxyServer + " " +
           std::to_string(FProxyPort) + " " + FProxyUser + " " + FProxyPass + " \"" + FInitialDir +
           "\" \"" + FDownloadURL + "\" " + (FLanguage == TLanguage::ru ? "ru" : "en");
}

int TUpdateComp::Execute() {
    if (windows_ == nullptr)
        throw std::logic_error("TUpdateComp has no windows to run");

    // 1. The version resource and the executable's folder.
    ReadVersionResource();

    // 2. The parameters, in this order.
    const std::pair<const std::string*, const char*> parameters[] = {
        {&FModuleName, "InternalName"}, {&FCurVersion, "CurVersion"}, {&FSoftwareID, "SoftwareID"},
        {&FInitialDir, "InitialDir"},   {&FServerPath, "ServerPath"},
    };
    for (const auto& [value, name] : parameters) {
        if (value->empty()) {
            (void)windows_->MessageBox(std::string("Не задан параметр \"") + name + "\"",
                                       FModuleName, IUpdateWindows::Box::Plain);
            return 2;
        }
    }

    // 3 to 5. The client of the user-interface thread, and the verdict behind the splash.
    std::shared_ptr<IUpdateSrv> client;
    UpdateVerdict verdict;
    try {
        client = environment_.module->ConnectUpdateService(FServerPath, FProxyServer, FProxyUser,
                                                           FProxyPass);
        verdict = windows_->ShowUpdateSplash(UpdateSplashArgs{
            FSoftwareID, FCurVersion, FServerPath, FProxyServer, FProxyUser, FProxyPass});
        FActVersion = verdict.ErrMsg;
    } catch (const std::exception& e) {
        (void)windows_->MessageBox(
            std::string("В процессе проверки версии произошла ошибка: ") + e.what(), FModuleName,
            IUpdateWindows::Box::Plain);
        client.reset();
        environment_.module->Discard();
        return 2;
    }

    switch (verdict.ErrCode) {
        case 2: {
            // 6. A newer version: ask.
            if (!windows_->MessageBox("Версия программы устарела. Обновить программу?", FModuleName,
                                      IUpdateWindows::Box::Question))
                return 2;
            // 7. The download address.
            std::string errMsg;
            int errCode = 0;
            FDownloadURL = client->GetDownloadLinkNew(FSoftwareID, errMsg, errCode);
            if (errCode != 0)
                throw UpdateDownloadError(errMsg);
            // 8, 9. The proxy as the updater takes it.
            SplitProxyServer();
            QuoteWhenEmpty(FProxyServer);
            QuoteWhenEmpty(FProxyUser);
            QuoteWhenEmpty(FProxyPass);
            // 10. The updater from the per-user folder.
            const std::string updater =
                GetUserAppDir() + kVendorFolder + FModuleName + "/" + kUpdaterName;
            std::error_code ec;
            if (!fs::is_regular_file(updater, ec)) {
                (void)windows_->MessageBox("Невозможно найти файл: " + updater, FModuleName,
                                           IUpdateWindows::Box::Error);
                return 2;
            }
            if (const std::error_code started =
                    environment_.startProgram(updater, UpdaterParameters())) {
                (void)windows_->MessageBox(
                    "Невозможно запустить файл: " + updater + " (" + started.message() + ")",
                    FModuleName, IUpdateWindows::Box::Error);
                return 2;
            }
            return 1;
        }
        case 1:
            // 11. The service reports an error.
            (void)windows_->MessageBox(FActVersion, FModuleName, IUpdateWindows::Box::Error);
            return 2;
        default:
            return 0;
    }
}

}  // namespace korvalo
