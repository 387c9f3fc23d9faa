#include "ui/pathloader/fm_path_loader_connection.h"

#include <QAction>
#include <QCoreApplication>
#include <QCursor>
#include <QDateTime>
#include <QFileInfo>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHelpEvent>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMenu>
#include <QPushButton>
#include <QScreen>
#include <QToolTip>
#include <mutex>

#include "core/text.h"
#include "platform/desktop/commands.h"
#include "platform/net/browser_proxy.h"
#include "services/pathloader/vendor_addresses.h"
#include "ui/pathloader/pictures.h"
#include "ui/pathloader/rich_edit_url.h"
#include "ui/toolkit/hints.h"
#include "ui/toolkit/ui_thread.h"
#include "ui/toolkit/worker_link.h"

namespace korvalo {

namespace {

constexpr int kClientWidth = 420;
constexpr int kStatusHeight = 64;
constexpr int kActionHeight = 49;

const QString kProxyGroupHint = QStringLiteral(
    "Прокси – промежуточный компьютер, который является посредником между\r\n"
    "Вашим компьютером и Интернетом. Через него проходят все Ваши обращения\r\n"
    "в Интернет. Прокси их обрабатывает, и результаты передает Вам.");
// The caption's word "прокси", where the group's hint shows.
const QRect kProxyHintRect(QPoint(64, 4), QPoint(100, 12));

// The module's most recently started worker.
std::mutex g_lastWorkerMutex;
std::weak_ptr<TPathLoaderThread> g_lastWorker;

QString Q(const std::string& text) {
    return QString::fromStdString(text);
}

QLabel* NewLabel(const QString& text, const char* name, QWidget* parent, const QRect& geometry) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(QLatin1String(name));
    label->setGeometry(geometry);
    return label;
}

QLineEdit* NewEdit(const char* name, QWidget* parent, const QRect& geometry) {
    auto* edit = new QLineEdit(parent);
    edit->setObjectName(QLatin1String(name));
    edit->setGeometry(geometry);
    return edit;
}

// The date and time as the system writes them: its short date and long time (without the
// time zone).
QString SystemDateTime(const QDateTime& moment) {
    const QLocale locale = QLocale::system();
    QString time = locale.timeFormat(QLocale::LongFormat);
    time.remove(QLatin1Char('t'));
    return locale.toString(
        moment, locale.dateFormat(QLocale::ShortFormat) + QLatin1Char(' ') + time.trimmed());
}

}  // namespace

PathLoaderEnvironment PathLoaderEnvironment::WithDefaults(PathLoaderEnvironment environment) {
    if (!environment.browserProxies) {
        environment.browserProxies = [] {
            BrowserProxyDiscovery discovery;
            BrowserProxies proxies;
            proxies.kind = discovery.GetDefaultBrowserKind();
            proxies.systemProxy = discovery.GetIEProxy();
            proxies.defaultProxy = discovery.GetDefaultBrowserProxy();
            return proxies;
        };
    }
    if (!environment.openUrl)
        environment.openUrl = [](const std::string& url) { (void)OpenWithDesktop(url); };
    return environment;
}

TfmPathLoaderConnection::TfmPathLoaderConnection(const PathLoaderEnvironment& environment,
                                                 const ConnectionDialogArgs& args)
    : environment_(PathLoaderEnvironment::WithDefaults(environment)) {
    // A task-bar button of its own while the application window is hidden; otherwise the
    // window stands over the application window.
    QWidget* application =
        environment_.applicationWindow ? environment_.applicationWindow() : nullptr;
    ownTaskbarButton_ = application == nullptr || !application->isVisible();
    setParent(ownTaskbarButton_ ? nullptr : application,
              (ownTaskbarButton_ ? Qt::Window : Qt::Dialog) | Qt::MSWindowsFixedSizeDialogHint |
                  Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                  Qt::WindowCloseButtonHint);
    setObjectName(QStringLiteral("fmPathLoaderConnection"));
    setModal(true);
    QFont font(QStringLiteral("Tahoma"));
    font.setPixelSize(11);
    setFont(font);

    setWindowTitle(Q(args.Caption));
    FAllowSetProxy = args.AllowSetProxy;
    FSoftwareID = args.SoftwareID;
    FMenuID = args.MenuID;
    for (const std::string& line : SplitLines(args.PathLoaderURL))
        FPathLoaderURL << Q(line);

    BuildLayout();

    // Creation: no worker, the heights of the design, the group's hint, empty results, the
    // browsers' proxies and the proxy menu.
    InProcess_ = false;
    FAlwaysVisiblePartHeight = kStatusHeight + kActionHeight;
    FTipsHeight = tipsArea_->height();
    FProxyHeight = proxyArea_->height();
    gbProxy_->setToolTip(kProxyGroupHint);
    FMenuList.clear();
    FPathList.clear();
    FErrorMessage.clear();
    FErrorCode = 0;
    const BrowserProxies proxies = environment_.browserProxies();
    FSystemProxy = proxies.systemProxy;
    FDefaultProxy = proxies.defaultProxy;
    PrepareProxyMenu(proxies.kind);

    hintFilter_ = new HintHidePauseFilter(this);
    hintFilter_->InstallOn(this);
    gbProxy_->removeEventFilter(hintFilter_);
    gbProxy_->installEventFilter(this);

    tmrDelay_.setObjectName(QStringLiteral("tmrDelay"));
    tmrDelay_.setSingleShot(true);
    connect(&tmrDelay_, &QTimer::timeout, this, &TfmPathLoaderConnection::tmrDelayTimer);

    // Centred on the screen as designed, all parts shown.
    const int designHeight = FAlwaysVisiblePartHeight + FTipsHeight + FProxyHeight;
    setFixedSize(kClientWidth, designHeight);
    if (QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->geometry().center() - rect().center());
}

TfmPathLoaderConnection::~TfmPathLoaderConnection() {
    DetachWorker();
}

void TfmPathLoaderConnection::BuildLayout() {
    // Status strip.
    auto* statusArea = new QWidget(this);
    statusArea->setObjectName(QStringLiteral("pnlStatus"));
    statusArea->setGeometry(0, 0, kClientWidth, kStatusHeight);
    imgConnection_ = new AnimatedPicture(statusArea);
    imgConnection_->setObjectName(QStringLiteral("imgConnection"));
    imgConnection_->move(16, 16);
    imgConnection_->SetAnimationSpeed(kPathLoaderAnimationSpeed);
    imgConnection_->SetAnimate(true);
    imgAbort_ = NewLabel(QString(), "imgAbort", statusArea, QRect(16, 16, 32, 32));
    imgAbort_->setPixmap(AbortPicture());
    imgError_ = NewLabel(QString(), "imgError", statusArea, QRect(16, 16, 32, 32));
    imgError_->setPixmap(ErrorPicture());
    lblStatus_ = NewLabel(QString(), "lblStatus", statusArea, QRect(64, 24, 340, 16));
    QFont bold = lblStatus_->font();
    bold.setBold(true);
    lblStatus_->setFont(bold);
    lblStatus_->setWordWrap(true);

    // Tips area.
    tipsArea_ = new QWidget(this);
    tipsArea_->setObjectName(QStringLiteral("pnlTips"));
    tipsArea_->setGeometry(0, kStatusHeight, kClientWidth, 228);
    redtTips_ = new TRichEditURL(tipsArea_);
    redtTips_->setObjectName(QStringLiteral("redtTips"));
    redtTips_->setGeometry(3, 0, tipsArea_->width() - 6, tipsArea_->height());
    redtTips_->setFrameShape(QFrame::StyledPanel);
    connect(redtTips_, &TRichEditURL::URLClick, this, &TfmPathLoaderConnection::redtTipsURLClick);

    // Action strip.
    actionArea_ = new QWidget(this);
    actionArea_->setObjectName(QStringLiteral("pnlAction"));
    actionArea_->setGeometry(0, kStatusHeight + 228, kClientWidth, kActionHeight);
    btnAbort_ = new QPushButton(QStringLiteral("Прервать"), actionArea_);
    btnAbort_->setObjectName(QStringLiteral("btnAbort"));
    btnAbort_->setGeometry(150, 8, 120, 25);
    btnTryAgain_ = new QPushButton(QStringLiteral("Попробовать снова"), actionArea_);
    btnTryAgain_->setObjectName(QStringLiteral("btnTryAgain"));
    btnTryAgain_->setGeometry(150, 8, 120, 25);
    connect(btnAbort_, &QPushButton::clicked, this, &TfmPathLoaderConnection::btnAbortClick);
    connect(btnTryAgain_, &QPushButton::clicked, this, &TfmPathLoaderConnection::btnTryAgainClick);

    // Proxy area.
    proxyArea_ = new QWidget(this);
    proxyArea_->setObjectName(QStringLiteral("pnlProxy"));
    proxyArea_->setGeometry(0, kStatusHeight + 228 + kActionHeight, kClientWidth, 127);
    gbProxy_ = new QGroupBox(QStringLiteral("Настройка прокси для доступа в Интернет"), proxyArea_);
    gbProxy_->setObjectName(QStringLiteral("gbProxy"));
    gbProxy_->setGeometry(8, 0, 404, 119);
    lblProxyServer_ =
        NewLabel(QStringLiteral("Сервер:порт"), "lblProxyServer", gbProxy_, QRect(12, 26, 92, 16));
    edtProxyServer_ = NewEdit("edtProxyServer", gbProxy_, QRect(110, 23, 258, 21));
    edtProxyServer_->setToolTip(
        QStringLiteral("Если не заполнено, берется системный прокси (из Internet Explorer)"));
    btnImportProxy_ = new QPushButton(QStringLiteral("..."), gbProxy_);
    btnImportProxy_->setObjectName(QStringLiteral("btnImportProxy"));
    btnImportProxy_->setGeometry(372, 23, 21, 21);
    btnImportProxy_->setToolTip(QStringLiteral("Импорт настроек прокси из браузера"));
    connect(btnImportProxy_, &QPushButton::clicked, this,
            &TfmPathLoaderConnection::btnImportProxyClick);
    lblProxyUser_ =
        NewLabel(QStringLiteral("Пользователь"), "lblProxyUser", gbProxy_, QRect(12, 56, 92, 16));
    edtProxyUser_ = NewEdit("edtProxyUser", gbProxy_, QRect(110, 53, 283, 21));
    lblProxyPassword_ =
        NewLabel(QStringLiteral("Пароль"), "lblProxyPassword", gbProxy_, QRect(12, 86, 92, 16));
    edtProxyPassword_ = NewEdit("edtProxyPassword", gbProxy_, QRect(110, 83, 283, 21));
    edtProxyPassword_->setEchoMode(QLineEdit::Password);
    edtProxyPassword_->setStyleSheet(
        QStringLiteral("QLineEdit { lineedit-password-character: 42; }"));
    lblProxyServer_->setBuddy(edtProxyServer_);
    lblProxyUser_->setBuddy(edtProxyUser_);
    lblProxyPassword_->setBuddy(edtProxyPassword_);

    pmnuProxy_ = new QMenu(this);
    pmnuProxy_->setObjectName(QStringLiteral("pmnuProxy"));
    const struct {
        const char* name;
        const char* caption;
        int tag;
    } items[] = {
        {"miFirefox", "Mozilla Firefox", kBrowserFirefox},
        {"miOpera", "Opera", kBrowserOpera},
        {"miChrome", "Google Chrome", kBrowserChrome},
        {"miSafari", "Apple Safari", kBrowserSafari},
        {"miIE", "Internet Explorer", kBrowserInternetExplorer},
    };
    for (const auto& item : items) {
        QAction* action = pmnuProxy_->addAction(BrowserIcon(item.tag), QLatin1String(item.caption));
        action->setObjectName(QLatin1String(item.name));
        action->setData(item.tag);
    }
    connect(pmnuProxy_, &QMenu::triggered, this, &TfmPathLoaderConnection::ProxyMenuItemClick);
}

void TfmPathLoaderConnection::PrepareProxyMenu(int browserKind) {
    for (QAction* item : pmnuProxy_->actions()) {
        const int tag = item->data().toInt();
        const bool visible = tag == 0 || tag == browserKind;
        item->setVisible(visible);
        if (!visible)
            continue;
        const std::string& proxy = tag == 0 ? FSystemProxy : FDefaultProxy;
        item->setText(proxy.empty() ? QStringLiteral("без прокси") : Q(proxy));
    }
}

void TfmPathLoaderConnection::SetStatusMessage(const QString& text) {
    FStatusMessage = text;
    lblStatus_->setText(text);
}

void TfmPathLoaderConnection::SetShowMode(int mode) {
    FShowMode = mode;
    imgConnection_->setVisible(mode == 0);
    imgAbort_->setVisible(mode == 1);
    imgError_->setVisible(mode == 2);
    btnAbort_->setVisible(mode == 0);
    btnTryAgain_->setVisible(mode != 0);
    switch (mode) {
        case 0:
            SetStatusMessage(QStringLiteral("Идет соединение с VALDOR"));
            break;
        case 1:
            SetStatusMessage(QStringLiteral("Соединение прервано пользователем"));
            break;
        default:
            SetStatusMessage(FErrorCode == -1
                                 ? QStringLiteral("Ошибка обработки запроса на подключение")
                                 : QStringLiteral("Ошибка соединения"));
            break;
    }
    if (mode == 2)
        RebuildTips();
    tipsArea_->setVisible(mode == 2);
    const bool proxyShown = mode != 0 && FAllowSetProxy;
    proxyArea_->setVisible(proxyShown);
    const bool proxyEditable = (mode == 1 || mode == 2) && FAllowSetProxy && FErrorCode != -1;
    for (QWidget* w : std::initializer_list<QWidget*>{
             lblProxyServer_, lblProxyUser_, lblProxyPassword_, edtProxyServer_, edtProxyUser_,
             edtProxyPassword_, btnImportProxy_})
        w->setEnabled(proxyEditable);

    // The parts shown, top to bottom.
    int y = 0;
    for (QWidget* part : std::initializer_list<QWidget*>{imgConnection_->parentWidget(), tipsArea_,
                                                         actionArea_, proxyArea_}) {
        if (part->isHidden())
            continue;
        part->move(0, y);
        y += part->height();
    }
    const int oldHeight = height();
    const int newHeight =
        FAlwaysVisiblePartHeight + (mode == 2 ? FTipsHeight : 0) + (proxyShown ? FProxyHeight : 0);
    setFixedSize(kClientWidth, newHeight);
    MoveAfterResize(oldHeight);
}

void TfmPathLoaderConnection::MoveAfterResize(int oldHeight) {
    // Half the change (rounded toward zero) keeps the centre where it was; then the window is
    // kept inside the work area: not below its bottom, not above its top.
    QPoint position = pos();
    position.ry() -= (height() - oldHeight) / 2;
    QScreen* screen = this->screen() != nullptr ? this->screen() : QGuiApplication::primaryScreen();
    if (screen != nullptr) {
        const QRect work = screen->availableGeometry();
        const int frameHeight = frameGeometry().height() - geometry().height() + height();
        if (position.y() + frameHeight > work.y() + work.height())
            position.setY(work.y() + work.height() - frameHeight);
        if (position.y() < work.y())
            position.setY(work.y());
    }
    move(position);
}

void TfmPathLoaderConnection::RebuildTips() {
    redtTips_->Clear();
    redtTips_->AddLine(QStringLiteral("Ошибка:"), 7);
    redtTips_->AddLine(Q(FErrorMessage));
    redtTips_->AddLine(QString());
    redtTips_->AddLine(QStringLiteral("Рекомендации по устранению:"), 27);
    QString recommendation;
    if (!FAllowSetProxy) {
        recommendation = QStringLiteral("* Свяжитесь со службой технической поддержки.");
    } else {
        switch (FErrorCode) {
            case 400:
            case 403:
            case 404:
            case 500:
            case -1:
                recommendation =
                    QStringLiteral("* Свяжитесь со службой технической поддержки. (%MAIL%)");
                break;
            case 407:
                recommendation = QStringLiteral("* Проверьте настройки прокси-сервера");
                break;
            case 503:
                recommendation = QStringLiteral("* Повторите попытку через несколько минут");
                break;
            default:
                recommendation = QStringLiteral(
                    "* Проверьте Ваше соединение с Интернет\r\n"
                    "* Если соединение с Интернет осуществляется через прокси-сервер, проверьте "
                    "настройки прокси-сервера (обратитесь к Вашему техническому специалисту)\r\n"
                    "* Проверьте из браузера доступность адреса %URL%\r\n"
                    "* Если у Вас включен файрвол(брандмауэр) или установлен антивирус, "
                    "проверьте, не блокируют ли они соединение данного приложения с адресом "
                    "%URL% (обратитесь к Вашему техническому специалисту)");
                break;
        }
    }
    recommendation.replace(QStringLiteral("%URL%"),
                           FPathLoaderURL.isEmpty() ? QString() : FPathLoaderURL.front());
    recommendation.replace(QStringLiteral("%MAIL%"),
                           QStringLiteral("mailto:") + QLatin1String(kSupportMailAddress));
    redtTips_->AddLine(recommendation);
}

std::shared_ptr<TPathLoaderThread> TfmPathLoaderConnection::LastWorker() {
    std::lock_guard lock(g_lastWorkerMutex);
    return g_lastWorker.lock();
}

void TfmPathLoaderConnection::StartAttempt() {
    DetachWorker();
    FMenuList.clear();
    FPathList.clear();
    FErrorMessage.clear();
    FErrorCode = 0;
    InProcess_ = true;

    auto link = std::make_shared<WorkerLink<TfmPathLoaderConnection>>(this);
    TPathLoaderThread::Callbacks callbacks;
    callbacks.FGetDataFromComponent = [link](PathLoaderRequest& request) {
        (void)UiThread::Run([&] {
            if (TfmPathLoaderConnection* window = link->Get())
                window->GetDataFromComponent(request);
        });
    };
    callbacks.FSendDataToComponent = [link](const std::string& MenuList,
                                            const std::string& PathList) {
        (void)UiThread::Run([&] {
            if (TfmPathLoaderConnection* window = link->Get()) {
                link->Cut();
                window->SendDataToComponent(MenuList, PathList);
            }
        });
    };
    callbacks.FSendErrorToComponent = [link](const std::exception& ErrorObject, int ErrorCode) {
        const std::string message = ErrorObject.what();
        (void)UiThread::Run([&] {
            if (TfmPathLoaderConnection* window = link->Get()) {
                link->Cut();
                window->SendErrorToComponent(message, ErrorCode);
            }
        });
    };
    link_ = link;
    worker_ = TPathLoaderThread::Create(std::move(callbacks), environment_.soap);
    std::lock_guard lock(g_lastWorkerMutex);
    g_lastWorker = worker_;
}

void TfmPathLoaderConnection::DetachWorker() {
    if (link_)
        link_->Cut();
    if (worker_)
        worker_->Terminate();
    link_.reset();
    worker_.reset();
    InProcess_ = false;
}

std::string TfmPathLoaderConnection::ProxyForCaller() const {
    const std::string shown = edtProxyServer_->text().toStdString();
    return shown == FSystemProxy ? std::string() : shown;
}

void TfmPathLoaderConnection::GetDataFromComponent(PathLoaderRequest& request) const {
    request.APathLoaderURL = FPathLoaderURL.join(QStringLiteral("\r\n")).toStdString();
    request.AProxy = ProxyForCaller();
    request.AProxyUserName = edtProxyUser_->text().toStdString();
    request.AProxyPassword = edtProxyPassword_->text().toStdString();
    request.SoftwareID = FSoftwareID;
    request.MenuID = FMenuID;
}

void TfmPathLoaderConnection::SendDataToComponent(const std::string& MenuList,
                                                  const std::string& PathList) {
    InProcess_ = false;
    worker_.reset();
    link_.reset();
    FMenuList = MenuList;
    FPathList = PathList;
    accept();
}

void TfmPathLoaderConnection::SendErrorToComponent(const std::string& message, int ErrorCode) {
    InProcess_ = false;
    worker_.reset();
    link_.reset();
    FErrorMessage = message;
    FErrorCode = ErrorCode;
    if (ErrorCode > 0)
        FErrorMessage = "(" + std::to_string(ErrorCode) + ") " + FErrorMessage;
    SetShowMode(2);
}

void TfmPathLoaderConnection::btnAbortClick() {
    tmrDelay_.stop();
    if (InProcess_)
        DetachWorker();
    SetShowMode(1);
}

void TfmPathLoaderConnection::btnTryAgainClick() {
    SetShowMode(0);
    StartAttempt();
}

void TfmPathLoaderConnection::btnImportProxyClick() {
    pmnuProxy_->popup(QCursor::pos());
}

void TfmPathLoaderConnection::tmrDelayTimer() {
    tmrDelay_.stop();
    StartAttempt();
}

void TfmPathLoaderConnection::ProxyMenuItemClick(QAction* item) {
    const int tag = item->data().toInt();
    edtProxyServer_->setText(Q(tag > 0 ? FDefaultProxy : FSystemProxy));
}

QString TfmPathLoaderConnection::ProxyHintAt(const QPoint& point) const {
    return kProxyHintRect.contains(point) ? gbProxy_->toolTip() : QString();
}

std::string TfmPathLoaderConnection::MailLink(const std::string& url) const {
    std::string appended =
        "?subject=PathLoader Error&Body=Error message: " + FErrorMessage + "%0D%0A" +
        "Time = " + SystemDateTime(QDateTime::currentDateTime()).toStdString() + "%0D%0A" +
        "Application = " +
        QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName().toStdString() +
        "%0D%0A" + "Title = " + windowTitle().toStdString() + "%0D%0A" + "ID = " + FSoftwareID +
        (FMenuID.empty() ? "" : " : " + FMenuID) + "%0D%0A";
    for (int i = 0; i < FPathLoaderURL.size(); ++i)
        appended +=
            "URL[" + std::to_string(i) + "] = " + FPathLoaderURL[i].toStdString() + "%0D%0A";
    return url + ReplaceAll(appended, " ", "%20");
}

void TfmPathLoaderConnection::redtTipsURLClick(const QString& url) {
    const std::string link = url.toStdString();
    if (ToLowerAscii(link.substr(0, 7)) != "mailto:")
        environment_.openUrl(link);
    else
        environment_.openUrl(MailLink(link));
}

void TfmPathLoaderConnection::done(int result) {
    if (result != QDialog::Accepted) {
        tmrDelay_.stop();
        if (InProcess_)
            DetachWorker();
    }
    QDialog::done(result);
}

bool TfmPathLoaderConnection::eventFilter(QObject* watched, QEvent* event) {
    if (watched == gbProxy_ && event->type() == QEvent::ToolTip) {
        const auto* help = static_cast<QHelpEvent*>(event);
        const QString hint = ProxyHintAt(help->pos());
        if (hint.isEmpty())
            QToolTip::hideText();
        else
            QToolTip::showText(help->globalPos(),
                               QString(hint).replace(QStringLiteral("\r\n"), QStringLiteral("\n")),
                               gbProxy_, kProxyHintRect, HintHidePause());
        return true;
    }
    return QDialog::eventFilter(watched, event);
}

bool ShowConnectionDialog(const PathLoaderEnvironment& environment, ConnectionDialogArgs& args) {
    return UiThread::Call([&] {
               args.MenuList.clear();
               args.PathList.clear();
               args.ErrorMessage.clear();
               HintHidePauseScope pause(999999);
               TfmPathLoaderConnection window(environment, args);
               window.EdtProxyServer()->setText(
                   Q(args.Proxy.empty() ? window.SystemProxy() : args.Proxy));
               window.EdtProxyUser()->setText(Q(args.ProxyUserName));
               window.EdtProxyPassword()->setText(Q(args.ProxyPassword));
               window.SetShowMode(0);
               window.TmrDelay()->setInterval(args.AllowSetProxy && args.ConnectionDelay > 0
                                                  ? args.ConnectionDelay * 1000
                                                  : 100);
               window.TmrDelay()->start();
               if (window.exec() == QDialog::Accepted) {
                   args.MenuList = window.MenuList();
                   args.PathList = window.PathList();
                   args.Proxy = window.ProxyForCaller();
                   args.ProxyUserName = window.EdtProxyUser()->text().toStdString();
                   args.ProxyPassword = window.EdtProxyPassword()->text().toStdString();
                   return true;
               }
               if (window.ShowMode() == 2)
                   args.ErrorMessage = window.ErrorMessage();
               return false;
           })
        .value_or(false);
}

}  // namespace korvalo
