#pragma once
// TFMain: the owner of Korvalo's run-time state, with start-up and shutdown in their fixed
// order. It holds no window; the window side comes in through IMainWindowHost.

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "core/log_sink.h"
#include "core/services.h"
#include "core/user_interface.h"
#include "platform/desktop/companion.h"
#include "services/endpoint/http_server.h"
#include "services/pathloader/path_loader.h"
#include "services/update/update_check.h"
#include "services/update/update_comp.h"
#include "state/log/myfile.h"
#include "state/settings/settings.h"
#include "state/settings/settings_loader.h"

namespace korvalo {

class RequestDispatcher;
class HttpServer;
class TFMain;

// What start-up and shutdown ask of the main window. Called on the UI thread.
class IMainWindowHost {
public:
    virtual ~IMainWindowHost() = default;
    // Creates the tray icon unless it exists; true when it exists afterwards.
    [[nodiscard]] virtual bool CreateTrayIcon() = 0;
    // Sets the balloon text and shows the balloon (nothing without icon).
    virtual void ShowBalloon(const std::string& text) = 0;
    virtual void SetCaption(const std::string& caption) = 0;
    // Asks the application to end; takes effect once the message loop runs.
    virtual void RequestQuit() = 0;
    // Hides the tray icon (it leaves the notification area) and frees it.
    virtual void RemoveTrayIcon() = 0;
};

// The parts that sign and deliver, made once TFMain exists so that they can use its settings,
// stage, log, notifier and protocol file. A factory left empty means the part is not part of
// this build: requests that need it are refused with a log line instead.
struct TFMainParts {
    std::function<std::unique_ptr<ISigningDialogs>(TFMain&)> dialogs;
    std::function<std::unique_ptr<ISignatureUploader>(TFMain&)> uploader;
    std::function<std::unique_ptr<IIdCardBatchSigner>(TFMain&)> idCard;
    // The path loader's windows; without them PathLoader's Execute fails (Korvalo never calls
    // it).
    std::function<std::unique_ptr<IPathLoaderWindows>(TFMain&)> pathLoaderWindows;
    // The update component's windows; without them UpdateComp's Execute fails (Korvalo never
    // calls it).
    std::function<std::unique_ptr<IUpdateWindows>(TFMain&)> updateWindows;
};

// Where TFMain finds its files and the platform; the defaults are this machine's.
struct TFMainOptions {
    SettingsPaths settingsPaths = SettingsPaths::Default();
    // The protocol file; when left empty, the running program's, and createProtocolFolder
    // then says whether the program is installed.
    std::string protocolFile;
    // Make the protocol file's folder (private) when it is missing, as an installed program
    // does with its state folder. A program in its build folder writes beside itself.
    bool createProtocolFolder = false;
    EndpointOptions endpoint;
    // The system proxy read when useAutoProxy is on (default: this machine's).
    std::shared_ptr<ISystemProxySource> systemProxy;
    // The companion server start of the "IOLA" mode (default: tinyWebServer/run.sh beside
    // the executable).
    std::function<CompanionOutcome()> startCompanion;
    // The update check (default CheckUpdate).
    std::function<int()> checkUpdate;
    // Releases the Avest library when it is loaded (default: UnloadAvCryptMail).
    std::function<void()> releaseAvest;
    // The personal certificate store's folder (default: DefaultCertStoreLocation()).
    std::filesystem::path certStore;
    // The update component's executable, version resource and updater start (default: this
    // program's).
    UpdateCompEnvironment updateComp;
};

class TFMain {
public:
    // log and notifier must outlive TFMain.
    TFMain(ILogSink& log, INotifier& notifier, TFMainParts parts, TFMainOptions options = {});
    ~TFMain();
    TFMain(const TFMain&) = delete;
    TFMain& operator=(const TFMain&) = delete;

    // Start-up, in this order: LoadSettings; a log line naming the certificate store's folder;
    // a fresh busy gate and request fields; the endpoint
    // (a port in use shows "Порт Korvalo уже занят." and asks the application to end, the
    // remaining steps still run); the protocol file when debug or debugExt is on (on failure
    // both go off and the administrator hint is logged); the tray icon and the start balloon;
    // the caption; the software identifier of the path loader and the update component; the
    // update check when bCheckUpdate is on.
    void FormCreate(IMainWindowHost& window);

    // Shutdown: the tray icon, the endpoint (it stops listening and waits for running
    // handlers), the request fields, the protocol file, the Avest library when loaded.
    // Call UiThread::Shutdown() first when handlers may be waiting for the UI thread.
    void FormClose(IMainWindowHost& window);

    // Reads both settings files into the settings and PathLoader's properties (an installed
    // program first makes its user's main file ready, PrepareUserIni); starts the companion
    // server when signatureKZ is set; sets stage to 0. UI thread.
    void LoadSettings();

    // ---- state that the other parts use ----
    ILogSink& Log() { return log_; }
    INotifier& Notifier() { return notifier_; }
    // The running settings (connection and upload threads take a Snapshot()).
    SettingsStore& Store() { return settings_; }
    // 1 while an upload's completion is awaited.
    std::atomic<int>& Stage() { return stage_; }
    // The protocol file, or nullptr when there is none (yet).
    std::shared_ptr<TMyFile> ProtocolFile() const;
    const std::string& serverVersion() const { return serverVersion_; }
    const SettingsPaths& Paths() const { return options_.settingsPaths; }
    // The folder of the personal certificate store the dialogs and engines use.
    const std::filesystem::path& CertStoreLocation() const { return options_.certStore; }
    // The endpoint's dispatcher and server (null before FormCreate and after FormClose).
    RequestDispatcher* Dispatcher() { return dispatcher_.get(); }
    HttpServer* Endpoint() { return server_.get(); }
    // True when start-up asked the application to end (the port was in use).
    bool QuitRequested() const { return quitRequested_; }
    // The update component: Language ru; start-up sets its SoftwareID. UI thread.
    TUpdateComp& UpdateComp() { return updateComp_; }
    // The service-address discovery component: ConnectionDelay 0, AllowSetProxy on, plDefault,
    // plRussian; the settings feed it and start-up sets its SoftwareID. UI thread.
    TPathLoader& PathLoader() { return pathLoader_; }

private:
    void StartCompanion();
    void OpenEndpoint(IMainWindowHost& window);
    void CreateProtocolFile();

    ILogSink& log_;
    INotifier& notifier_;
    TFMainOptions options_;
    SettingsStore settings_;
    std::atomic<int> stage_{0};
    std::string serverVersion_;

    mutable std::mutex protocolMutex_;
    std::shared_ptr<TMyFile> myfile_;

    std::unique_ptr<ISigningDialogs> dialogs_;
    std::unique_ptr<ISignatureUploader> uploader_;
    std::unique_ptr<IIdCardBatchSigner> idCard_;
    std::unique_ptr<IPathLoaderWindows> pathLoaderWindows_;
    TPathLoader pathLoader_;
    std::unique_ptr<IUpdateWindows> updateWindows_;
    TUpdateComp updateComp_;
    std::unique_ptr<RequestDispatcher> dispatcher_;
    std::unique_ptr<HttpServer> server_;
    bool quitRequested_ = false;
};

}  // namespace korvalo
