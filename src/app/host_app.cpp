#include "app/host_app.h"

#include <QApplication>
#include <QMetaObject>

#include "app/wiring.h"
#include "platform/tokens/token_registry.h"
#include "services/delivery/upload.h"
#include "services/engines/avcryptmail.h"
#include "services/engines/cryptidcard.h"
#include "ui/dialogs/login_dialog.h"
#include "ui/dialogs/qt_signing_dialogs.h"
#include "ui/dialogs/server_login_dialog.h"
#include "ui/host/fopt.h"
#include "ui/host/main_window.h"
#include "ui/host/qt_log_sink.h"
#include "ui/host/qt_notifier.h"
#include "ui/toolkit/ui_thread.h"

namespace korvalo {

namespace {

// Korvalo's own parts, for every factory of parts left empty.
void AddOwnParts(TFMainParts& parts, ICredentialsPrompt& loginPrompt,
                 IServerLoginPrompt& serverLogin, TokenRegistry& tokens,
                 std::function<QWidget*()> applicationWindow) {
    // The path loader's and the update component's windows; their task-bar button follows
    // the main window's visibility.
    if (!parts.pathLoaderWindows) {
        parts.pathLoaderWindows = [applicationWindow](TFMain&) {
            PathLoaderEnvironment environment;
            environment.applicationWindow = applicationWindow;
            return MakePathLoaderWindows(std::move(environment));
        };
    }
    if (!parts.updateWindows) {
        parts.updateWindows = [applicationWindow](TFMain&) {
            UpdateWindowsEnvironment environment;
            environment.applicationWindow = applicationWindow;
            return MakeUpdateWindows(std::move(environment));
        };
    }
    if (!parts.idCard) {
        parts.idCard = [](TFMain&) {
            return std::make_unique<TIdCardBatchSigner>(CardServiceOptions::FromEnvironment());
        };
    }
    // The signing dialogs over the store and its tokens, with the password and PIN window.
    if (!parts.dialogs) {
        parts.dialogs = [&tokens](TFMain& main) {
            SigningEnvironment environment(main.Log());
            environment.storeLocation = main.CertStoreLocation();
            environment.tokens = &tokens;
            return std::make_unique<QtSigningDialogs>(environment);
        };
    }
    // The upload of signed results, with the proxy login dialog and the web server's.
    if (!parts.uploader) {
        parts.uploader = [&loginPrompt, &serverLogin](TFMain& main) {
            return std::make_unique<TDelivery>(DeliveryServices{
                .log = main.Log(),
                .settings = main.Store(),
                .notifier = main.Notifier(),
                .credentials = loginPrompt,
                .serverLogin = serverLogin,
                .stage = main.Stage(),
                .settingsPath = main.Paths().mainIni,
                .protocolFile = [&main] { return main.ProtocolFile(); },
                .unloadAvCryptMail =
                    [] {
                        if (AvCryptMailLoaded())
                            UnloadAvCryptMail();
                    },
                .serverVersion = main.serverVersion(),
            });
        };
    }
}

}  // namespace

// The main window as start-up and shutdown see it.
class HostApplication::WindowHost : public IMainWindowHost {
public:
    explicit WindowHost(MainWindow& window) : window_(window) {}
    [[nodiscard]] bool CreateTrayIcon() override { return window_.CreateTrayIcon(); }
    void ShowBalloon(const std::string& text) override {
        window_.ShowBalloon(QString::fromStdString(text));
    }
    void SetCaption(const std::string& caption) override {
        window_.setWindowTitle(QString::fromStdString(caption));
    }
    void RequestQuit() override {
        QMetaObject::invokeMethod(QCoreApplication::instance(), &QCoreApplication::quit,
                                  Qt::QueuedConnection);
    }
    void RemoveTrayIcon() override { window_.RemoveTrayIcon(); }

private:
    MainWindow& window_;
};

HostApplication::HostApplication(HostOptions options)
    : log_(std::make_unique<QtLogSink>(options.echoLog)),
      notifier_(std::make_unique<QtNotifier>()),
      loginPrompt_(std::make_unique<QtLoginPrompt>()),
      serverLogin_(std::make_unique<QtServerLoginPrompt>()),
      tokens_(std::make_unique<TokenRegistry>(*log_)) {
    UiThread::Reopen();
    if (options.ownParts)
        AddOwnParts(options.parts, *loginPrompt_, *serverLogin_, *tokens_,
                    [this]() -> QWidget* { return window_.get(); });
    main_ = std::make_unique<TFMain>(*log_, *notifier_, std::move(options.parts),
                                     std::move(options.main));
    MainWindow::Actions actions;
    actions.runSettingsDialog = [this](QWidget* owner) {
        TFOptions dialog(main_->Paths().mainIni, *loginPrompt_, owner);
        return dialog.exec();
    };
    actions.loadSettings = [this] { main_->LoadSettings(); };
    actions.trayAvailable = std::move(options.trayAvailable);
    actions.debug = [this] { return main_->Store().Snapshot().debug; };
    window_ = std::make_unique<MainWindow>(*log_, std::move(actions));
    notifier_->SetWindow(window_.get());
    windowHost_ = std::make_unique<WindowHost>(*window_);
    QApplication::setQuitOnLastWindowClosed(false);
    QObject::connect(window_.get(), &MainWindow::exitRequested, QCoreApplication::instance(),
                     &QCoreApplication::quit, Qt::QueuedConnection);
}

HostApplication::~HostApplication() {
    // Connection threads must not wait for the UI thread while the endpoint closes.
    UiThread::Shutdown();
    main_.reset();
}

void HostApplication::Start() {
    main_->FormCreate(*windowHost_);
}

void HostApplication::Stop() {
    if (stopped_)
        return;
    stopped_ = true;
    UiThread::Shutdown();
    // Service workers still running (their windows are gone) end at once.
    EndServiceWorkers();
    main_->FormClose(*windowHost_);
}

int HostApplication::Run() {
    Start();
    QApplication::exec();
    if (main_->QuitRequested())
        return 1;
    Stop();
    return 0;
}

}  // namespace korvalo
