#include "services/program/fmain.h"

#include <exception>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "core/paths.h"
#include "core/timestamp.h"
#include "core/version.h"
#include "platform/crypto/cert_store.h"
#include "services/endpoint/dispatcher.h"
#include "services/endpoint/http_server.h"
#include "services/engines/avcryptmail.h"
#include "services/program/main_components.h"
#include "state/log/log_lines.h"
#include "state/settings/user_ini.h"

namespace korvalo {

namespace {

namespace fs = std::filesystem;

// Dialogs and uploads hold at most kMaxUploads handler threads, so that requests which need
// neither always find one.
static_assert(kMaxUploads < EndpointOptions{}.maxHandlerThreads);

// Stands in for the signing dialogs when this build has none: nothing is signed and the
// request ends without an answer to upload.
class MissingSigningDialogs : public ISigningDialogs {
public:
    explicit MissingSigningDialogs(ILogSink& log) : log_(log) {}
    [[nodiscard]] int ShowSignMsgDialog(const SigningOptions&, const std::string&, std::string&,
                                        bool) override {
        return Refuse();
    }
    [[nodiscard]] int ShowSignFileDialog(const SigningOptions&, std::string&, std::string&, int,
                                         std::optional<ContentFingerprint>&) override {
        return Refuse();
    }
    [[nodiscard]] int ShowSignFilesDialog(const SigningOptions&, TJobList&,
                                          const std::string&) override {
        return Refuse();
    }

private:
    [[nodiscard]] int Refuse() {
        log_.PrintInfo(LogLine("Окна подписи не входят в эту сборку Korvalo - запрос не выполнен"));
        return kResultWindowClosed;
    }
    ILogSink& log_;
};

// Stands in for the upload when this build has none: the request fails with this text.
class MissingUploader : public ISignatureUploader {
public:
    void UploadSignature(const UploadJob&) override {
        throw std::runtime_error("отправка результата не входит в эту сборку Korvalo");
    }
};

// Stands in for the ID-card signer when this build has none: every job fails.
class MissingIdCardSigner : public IIdCardBatchSigner {
public:
    [[nodiscard]] int SignMultipleFile(TJobList& jobs) override {
        for (TRecordSign& job : jobs)
            job.error = "Подпись ID-картой не входит в эту сборку Korvalo";
        return kResultClosed;
    }
};

// Whether path names a file that exists but cannot be read.
bool ExistsButUnreadable(const std::string& path) {
    std::error_code ec;
    if (!fs::exists(path, ec))
        return false;
    if (fs::is_directory(path, ec))
        return true;
    std::ifstream in(path, std::ios::binary);
    return !in.good();
}

}  // namespace

TFMain::TFMain(ILogSink& log, INotifier& notifier, TFMainParts parts, TFMainOptions options)
    : log_(log),
      notifier_(notifier),
      options_(std::move(options)),
      serverVersion_(GetProgramVersion()),
      updateComp_(nullptr, options_.updateComp) {
    if (options_.protocolFile.empty()) {
        const ProgramFiles files = RunningProgramFiles();
        options_.protocolFile = files.protocolFile;
        options_.createProtocolFolder = files.installed;
    }
    if (!options_.systemProxy)
        options_.systemProxy = std::make_shared<SystemProxySource>();
    if (!options_.startCompanion)
        options_.startCompanion = [] { return CompanionStarter(ExecutableFolder()).Start(); };
    if (!options_.checkUpdate)
        options_.checkUpdate = &CheckUpdate;
    if (options_.certStore.empty())
        options_.certStore = DefaultCertStoreLocation();
    if (!options_.releaseAvest)
        options_.releaseAvest = [] {
            if (AvCryptMailLoaded())
                UnloadAvCryptMail();
        };
    dialogs_ = parts.dialogs ? parts.dialogs(*this) : nullptr;
    if (!dialogs_)
        dialogs_ = std::make_unique<MissingSigningDialogs>(log_);
    uploader_ = parts.uploader ? parts.uploader(*this) : nullptr;
    if (!uploader_)
        uploader_ = std::make_unique<MissingUploader>();
    idCard_ = parts.idCard ? parts.idCard(*this) : nullptr;
    if (!idCard_)
        idCard_ = std::make_unique<MissingIdCardSigner>();
    pathLoaderWindows_ = parts.pathLoaderWindows ? parts.pathLoaderWindows(*this) : nullptr;
    pathLoader_.SetWindows(pathLoaderWindows_.get());
    SetUpMainPathLoader(pathLoader_);
    updateWindows_ = parts.updateWindows ? parts.updateWindows(*this) : nullptr;
    updateComp_.SetWindows(updateWindows_.get());
    SetUpMainUpdateComp(updateComp_);
}

TFMain::~TFMain() {
    if (server_)
        server_->Close();
}

std::shared_ptr<TMyFile> TFMain::ProtocolFile() const {
    std::lock_guard lock(protocolMutex_);
    return myfile_;
}

void TFMain::LoadSettings() {
    const SettingsPaths& paths = options_.settingsPaths;
    const UserIniOutcome prepared = PrepareUserIni(paths);
    if (!prepared.error.empty())
        log_.PrintInfo(LogLine("Не удалось подготовить файл настроек " + paths.mainIni + ": " +
                               prepared.error));
    else if (prepared.copied)
        log_.PrintInfo(
            LogLine("Файл настроек " + paths.mainIni + " создан из " + paths.defaultsIni));
    if (ExistsButUnreadable(paths.mainIni))
        log_.PrintInfo(LogLine("Файл настроек " + paths.mainIni +
                               " не читается - действуют значения по умолчанию"));
    Settings loaded = SettingsLoader(paths, *options_.systemProxy).Load(settings_.Snapshot());
    ApplyPathLoaderSettings(pathLoader_, loaded.pathLoader);
    const bool companion = loaded.signatureKZ;
    settings_.Replace(std::move(loaded));
    if (companion)
        StartCompanion();
    stage_ = 0;
}

void TFMain::StartCompanion() {
    const CompanionOutcome outcome = options_.startCompanion();
    if (outcome.alreadyRunning)
        return;
    if (!outcome.process.created)
        log_.PrintInfo(LogLine("Не удалось запустить " + outcome.program));
    else if (outcome.process.ended && outcome.process.exitCode != 0)
        log_.PrintInfo(LogLine(outcome.program + " завершился с кодом " +
                               std::to_string(outcome.process.exitCode)));
}

void TFMain::FormCreate(IMainWindowHost& window) {
    // 1. Settings (with the companion start in the "IOLA" mode).
    LoadSettings();
    // Where certificates go: the folder is made when a dialog first opens the store.
    log_.PrintInfo(LogLine("Хранилище сертификатов: " + options_.certStore.string()));

    // 2, 3. A fresh busy gate (open) and empty request fields: a new dispatcher.
    DispatcherServices services{
        .log = log_,
        .settings = [this] { return settings_.Snapshot(); },
        .protocolFile = [this] { return ProtocolFile(); },
        .dialogs = *dialogs_,
        .notifier = notifier_,
        .idCard = *idCard_,
        .uploader = *uploader_,
        .stage = stage_,
    };
    services.version = serverVersion_;
    dispatcher_ = std::make_unique<RequestDispatcher>(std::move(services));

    // 4. The endpoint.
    OpenEndpoint(window);

    // 5. The protocol file.
    const Settings now = settings_.Snapshot();
    if (now.debug || now.debugExt)
        CreateProtocolFile();

    // 6. The tray icon and the start balloon.
    if (window.CreateTrayIcon())
        window.ShowBalloon("Korvalo загружен");

    // 7. The version in the caption.
    window.SetCaption("Протокол сервера v." + serverVersion_);

    // 8. The software identifier of the path loader and the update component.
    settings_.Update([](Settings& s) { s.pathLoader.SoftwareID = kSoftwareId; });
    pathLoader_.SetSoftwareID(kSoftwareId);
    updateComp_.SetSoftwareID(kSoftwareId);

    // 9. The update check; its result does not matter.
    if (settings_.Snapshot().bCheckUpdate)
        options_.checkUpdate();
}

void TFMain::OpenEndpoint(IMainWindowHost& window) {
    EndpointOptions endpoint = options_.endpoint;
    endpoint.listenAllInterfaces = settings_.Snapshot().listenAllInterfaces;
    server_ = std::make_unique<HttpServer>(*dispatcher_, endpoint);
    try {
        server_->Open();
    } catch (const std::exception&) {
        if (!server_->Active()) {
            notifier_.ShowMessageBox("Порт Korvalo уже занят.", "Порт Korvalo",
                                     INotifier::Icon::Information);
            quitRequested_ = true;
            window.RequestQuit();
            return;
        }
    }
    log_.PrintInfo(
        loglines::EndpointAddresses(server_->ListenAddresses(), endpoint.listenAllInterfaces));
}

void TFMain::CreateProtocolFile() {
    try {
        if (options_.createProtocolFolder) {
            const std::string folder = fs::path(options_.protocolFile).parent_path().string();
            if (!CreatePrivateFolders(folder))
                throw std::runtime_error("cannot create " + folder);
        }
        auto file = std::make_shared<TMyFile>(options_.protocolFile);
        std::lock_guard lock(protocolMutex_);
        myfile_ = std::move(file);
    } catch (const std::exception&) {
        settings_.Update([](Settings& s) {
            s.debug = false;
            s.debugExt = false;
        });
        log_.PrintInfo(loglines::ProtocolFileFailed());
    }
}

void TFMain::FormClose(IMainWindowHost& window) {
    window.RemoveTrayIcon();
    // The endpoint stops before the request fields go, so no handler sees them vanish.
    if (server_) {
        server_->Close();
        server_.reset();
    }
    dispatcher_.reset();
    {
        std::lock_guard lock(protocolMutex_);
        myfile_.reset();
    }
    options_.releaseAvest();
}

}  // namespace korvalo
