#pragma once
// TUpdateComp: the non-visual component that checks the executable's version against the
// maker's update service behind a splash window, asks the person, fetches the download address
// and starts the maker's updater with everything it needs.

#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>

#include "services/update/dm_update.h"

namespace korvalo {

enum class TLanguage { en = 0, ru = 1 };

// The values of an executable's version resource; a missing value is nothing.
struct VersionResource {
    std::optional<std::string> FileVersion;
    std::optional<std::string> InternalName;
};

// This program's own version resource: the compiled-in version a.b.c.d and the internal name
// "korvalo".
VersionResource CompiledVersionResource();

// What ShowUpdateSplash is given, and what it returns.
struct UpdateSplashArgs {
    std::string SoftwareID;
    std::string Version;
    std::string URL;  // the service's base address
    std::string Proxy;
    std::string ProxyUserName;
    std::string ProxyPassword;
};
struct UpdateVerdict {
    int ErrCode = 0;
    std::string ErrMsg;  // the message as the window held it: through code page 1251
};

// The update component's windows; the Qt implementation shows them on the user-interface
// thread. Message boxes are system-modal: modal for the whole application and above every
// window.
class IUpdateWindows {
public:
    enum class Box {
        Plain,     // no icon, OK
        Error,     // error icon, OK
        Question,  // question icon, Yes and No
    };
    virtual ~IUpdateWindows() = default;
    // Runs the splash window modally while a worker asks the service at args.URL for the
    // verdict on args.Version. The window closed other than by the worker gives verdict 0.
    // Throws when the window cannot be run.
    [[nodiscard]] virtual UpdateVerdict ShowUpdateSplash(const UpdateSplashArgs& args) = 0;
    // Shows a message box; true when the person answered Yes (Question) or OK.
    [[nodiscard]] virtual bool MessageBox(const std::string& text, const std::string& caption,
                                          Box box) = 0;
};

// The download address could not be had: the service's message.
class UpdateDownloadError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Where TUpdateComp finds the executable and the platform; the defaults are this machine's.
struct UpdateCompEnvironment {
    // The application-wide container of the update service's client (default: one of the
    // component's own).
    std::shared_ptr<UpdateModuleSlot> module;
    // The running executable's version resource (default: CompiledVersionResource).
    std::function<VersionResource()> versionResource;
    // The running executable's full path (default: ExecutablePath()).
    std::string executablePath;
    // Starts program detached with the parameter text, split as a command line is (default:
    // StartDetached with SplitCommandLine); the error when it could not be started.
    std::function<std::error_code(const std::string& program, const std::string& parameters)>
        startProgram;
};

// The name of a program's folder below the per-user folder "VALDOR": its file name without a
// ".exe" ending (in any letter case), or the whole file name when it has none.
std::string ProgramFolderName(const std::string& fileName);

class TUpdateComp {
public:
    // A new component: every text empty, the port 0, Language en. Creates the application-wide
    // container when there is none. windows must outlive the component; without windows
    // Execute fails.
    explicit TUpdateComp(IUpdateWindows* windows = nullptr, UpdateCompEnvironment environment = {});

    void SetWindows(IUpdateWindows* windows) { windows_ = windows; }

    // ---- published properties ----
    const std::string& SoftwareID() const { return FSoftwareID; }
    void SetSoftwareID(std::string value) { FSoftwareID = std::move(value); }
    const std::string& ProxyServer() const { return FProxyServer; }
    void SetProxyServer(std::string value) { FProxyServer = std::move(value); }
    const std::string& ProxyUser() const { return FProxyUser; }
    void SetProxyUser(std::string value) { FProxyUser = std::move(value); }
    const std::string& ProxyPass() const { return FProxyPass; }
    void SetProxyPass(std::string value) { FProxyPass = std::move(value); }
    const std::string& ServerPath() const { return FServerPath; }
    void SetServerPath(std::string value) { FServerPath = std::move(value); }
    TLanguage Language() const { return FLanguage; }
    void SetLanguage(TLanguage value) { FLanguage = value; }

    // ---- fields the last Execute left ----
    const std::string& ModuleName() const { return FModuleName; }
    const std::string& CurVersion() const { return FCurVersion; }
    const std::string& ActVersion() const { return FActVersion; }
    int ProxyPort() const { return FProxyPort; }
    const std::string& InitialDir() const { return FInitialDir; }
    const std::string& DownloadURL() const { return FDownloadURL; }

    // Checks the version and, when the service knows a newer one and the person agrees,
    // starts the updater. UI thread; modal while the splash is open. Returns 0 when the
    // version is current (or the splash was closed), 1 when the updater was started, 2 when a
    // parameter is missing, the check failed, the service reported an error, the person
    // declined, or the updater is missing or could not be started. Throws UpdateDownloadError
    // (the service's message) or what the SOAP client throws when the download address could
    // not be had, std::logic_error without windows.
    [[nodiscard]] int Execute();

    // Copies "_Renovar" beside strAppPath to "Renovar" in the program's per-user folder,
    // unless it is a local installation. Failures are ignored; always 0.
    int PrepareFiles(const std::string& strAppPath);
    // Where the settings file of the executable strAppPath lives: beside it for a local
    // installation, else in its per-user folder.
    std::string GetIniPath(const std::string& strAppPath) const;
    // The user's application-data folder ($XDG_CONFIG_HOME, default ~/.config) and documents
    // folder, without a trailing "/"; neither is created.
    std::string GetUserAppDir() const;
    std::string GetUserDocDir() const;
    // True when the file strAppPath with its extension replaced by ".loc" exists.
    bool IsVALDORTrader(const std::string& strAppPath) const;

private:
    // The updater's ten parameters as they stand now, joined by blanks.
    std::string UpdaterParameters() const;
    void ReadVersionResource();
    void SplitProxyServer();

    IUpdateWindows* windows_;
    UpdateCompEnvironment environment_;

    TLanguage FLanguage = TLanguage::en;
    std::string FSoftwareID;
    std::string FModuleName;
    std::string FCurVersion;
    std::string FActVersion;
    std::string FProxyServer;
    int FProxyPort = 0;
    std::string FProxyUser;
    std::string FProxyPass;
    std::string FInitialDir;
    std::string FServerPath;
    std::string FDownloadURL;
};

}  // namespace korvalo
