#include "ui/update/fm_splash_renovar.h"

#include <QGuiApplication>
#include <QLabel>
#include <QScreen>
#include <stdexcept>

#include "core/text.h"
#include "ui/toolkit/ui_thread.h"

namespace korvalo {

namespace {

constexpr int kClientWidth = 413;
constexpr int kClientHeight = 98;

}  // namespace

TFormSplashRenovar::TFormSplashRenovar(const UpdateWindowsEnvironment& environment,
                                       const UpdateSplashArgs& args)
    : environment_(environment),
      FSoftwareID(args.SoftwareID),
      FVersion(args.Version),
      FURL(args.URL),
      FProxy(args.Proxy),
      FProxyUserName(args.ProxyUserName),
      FProxyPassword(args.ProxyPassword) {
    // A task-bar button of its own while the application window is hidden; otherwise the
    // splash stands over the application window.
    QWidget* application =
        environment_.applicationWindow ? environment_.applicationWindow() : nullptr;
    ownTaskbarButton_ = application == nullptr || !application->isVisible();
    setParent(ownTaskbarButton_ ? nullptr : application,
              (ownTaskbarButton_ ? Qt::Window : Qt::Dialog) | Qt::FramelessWindowHint);
    setObjectName(QStringLiteral("FormSplashRenovar"));
    setModal(true);
    setFixedSize(kClientWidth, kClientHeight);

    lbBackgroundMessage_ =
        new QLabel(QStringLiteral("Ожидайте, идет проверка обновлений..."), this);
    lbBackgroundMessage_->setObjectName(QStringLiteral("lbBackgroundMessage"));
    lbBackgroundMessage_->setGeometry(8, 41, 397, 16);
    lbBackgroundMessage_->setAlignment(Qt::AlignCenter);
    lbBackgroundMessage_->setAttribute(Qt::WA_TranslucentBackground);
    lbBackgroundMessage_->setAutoFillBackground(false);
    QFont font(QStringLiteral("Tahoma"));
    font.setPixelSize(13);
    lbBackgroundMessage_->setFont(font);

    if (QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->geometry().center() - rect().center());
}

TFormSplashRenovar::~TFormSplashRenovar() {
    DetachWorker();
}

void TFormSplashRenovar::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (!started_) {
        started_ = true;
        StartWorker();
    }
}

void TFormSplashRenovar::StartWorker() {
    InProcess_ = true;
    auto link = std::make_shared<WorkerLink<TFormSplashRenovar>>(this);
    TUpdateThread::Callbacks callbacks;
    callbacks.FGetDataFromForm = [link](UpdateCheckRequest& request) {
        (void)UiThread::Run([&] {
            if (TFormSplashRenovar* window = link->Get())
                window->GetDataFromForm(request);
        });
    };
    callbacks.FSendDataToForm = [link](const std::string& ErrMsg, int ErrCode) {
        (void)UiThread::Run([&] {
            if (TFormSplashRenovar* window = link->Get()) {
                link->Cut();
                window->SendDataToForm(ErrMsg, ErrCode);
            }
        });
    };
    callbacks.FSendErrorToForm = [link](const std::exception& ErrorObject) {
        const std::string message = ErrorObject.what();
        (void)UiThread::Run([&] {
            if (TFormSplashRenovar* window = link->Get()) {
                link->Cut();
                window->SendErrorToForm(message);
            }
        });
    };
    link_ = link;
    FUpdateThread = TUpdateThread::Create(std::move(callbacks), environment_.soap);
}

void TFormSplashRenovar::DetachWorker() {
    if (link_)
        link_->Cut();
    if (FUpdateThread)
        FUpdateThread->Terminate();
    link_.reset();
    FUpdateThread.reset();
    InProcess_ = false;
}

void TFormSplashRenovar::GetDataFromForm(UpdateCheckRequest& request) const {
    request.SoftwareID = FSoftwareID;
    request.Version = FVersion;
    request.URL = FURL;
    request.Proxy = FProxy;
    request.ProxyUserName = FProxyUserName;
    request.ProxyPassword = FProxyPassword;
}

void TFormSplashRenovar::SendDataToForm(const std::string& ErrMsg, int ErrCode) {
    InProcess_ = false;
    FUpdateThread.reset();
    link_.reset();
    FErrCode = ErrCode;
    FErrMsg = ErrMsg;
    accept();
}

void TFormSplashRenovar::SendErrorToForm(const std::string& message) {
    InProcess_ = false;
    FUpdateThread.reset();
    link_.reset();
    FErrCode = 1;
    FErrMsg = ToCp1251(message);
    reject();
}

void TFormSplashRenovar::done(int result) {
    if (link_ && link_->Attached())
        DetachWorker();
    QDialog::done(result);
}

UpdateVerdict ShowUpdateSplash(const UpdateWindowsEnvironment& environment,
                               const UpdateSplashArgs& args) {
    const std::optional<UpdateVerdict> verdict = UiThread::Call([&] {
        TFormSplashRenovar window(environment, args);
        window.exec();
        return UpdateVerdict{window.ErrCode(), FromCp1251(window.ErrMsg())};
    });
    if (!verdict)
        throw std::runtime_error(
            "окно проверки обновлений не может быть показано: программа "
            "завершается");
    return *verdict;
}

}  // namespace korvalo
