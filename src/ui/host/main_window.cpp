#include "ui/host/main_window.h"

#include <QAction>
#include <QCloseEvent>
#include <QFont>
#include <QGuiApplication>
#include <QMenu>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QSystemTrayIcon>

#include "core/timestamp.h"
#include "platform/desktop/window_list.h"
#include "ui/host/qt_log_sink.h"

namespace korvalo {

namespace {

const QString kTrayHint = QStringLiteral("Korvalo для цифровой подписи файлов");
const QString kBalloonTitle = QStringLiteral("Korvalo");
constexpr int kTrayRetryMs = 7000;

}  // namespace

QIcon KorvaloIcon() {
    // A blue seal with a white pen stroke.
    QPixmap image(16, 16);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(QColor(0x0b, 0x3d, 0x91), 1));
    painter.setBrush(QColor(0x1f, 0x6f, 0xd1));
    painter.drawRoundedRect(QRectF(0.5, 0.5, 15, 15), 3, 3);
    QPainterPath stroke;
    stroke.moveTo(3, 11);
    stroke.cubicTo(5, 5, 7, 13, 9, 7);
    stroke.lineTo(13, 4);
    painter.setPen(QPen(Qt::white, 1.6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    painter.setBrush(Qt::NoBrush);
    painter.drawPath(stroke);
    painter.drawLine(QPointF(3, 13), QPointF(13, 13));
    painter.end();
    return QIcon(image);
}

MainWindow::MainWindow(QtLogSink& log, Actions actions, QWidget* parent)
    : QWidget(parent, Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::MSWindowsFixedSizeDialogHint),
      log_(log),
      actions_(std::move(actions)) {
    if (!actions_.trayAvailable)
        actions_.trayAvailable = [] { return QSystemTrayIcon::isSystemTrayAvailable(); };
    setObjectName(QStringLiteral("FMain"));
    QFont font(QStringLiteral("Tahoma"));
    font.setPointSize(8);
    setFont(font);
    setFixedSize(508, 393);

    memo1_ = new QPlainTextEdit(this);
    memo1_->setObjectName(QStringLiteral("Memo1"));
    memo1_->setGeometry(0, 0, 508, 393 - 63);
    memo1_->setReadOnly(true);
    memo1_->setLineWrapMode(QPlainTextEdit::NoWrap);
    memo1_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    memo1_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);

    auto* panel = new QWidget(this);
    panel->setObjectName(QStringLiteral("Panel1"));
    panel->setGeometry(0, 393 - 63, 508, 63);
    btnHide_ = new QPushButton(QStringLiteral("Спрятать"), panel);
    btnHide_->setObjectName(QStringLiteral("btnHide"));
    btnHide_->setGeometry(412, 22, 75, 25);
    btnClear_ = new QPushButton(QStringLiteral("Очистить"), panel);
    btnClear_->setObjectName(QStringLiteral("btnClear"));
    btnClear_->setGeometry(306, 23, 75, 25);
    setTabOrder(btnHide_, btnClear_);
    connect(btnClear_, &QPushButton::clicked, this, &MainWindow::btnClearClick);
    connect(btnHide_, &QPushButton::clicked, this, &MainWindow::btnHideClick);

    popupMenuTray_ = std::make_unique<QMenu>();
    popupMenuTray_->setObjectName(QStringLiteral("PopupMenuTray"));
    QAction* n1 =
        popupMenuTray_->addAction(QStringLiteral("Настройка..."), this, &MainWindow::N1Click);
    n1->setObjectName(QStringLiteral("N1"));
    QFont bold = n1->font();
    bold.setBold(true);
    n1->setFont(bold);
    popupMenuTray_->setDefaultAction(n1);
    popupMenuTray_->addAction(QStringLiteral("Показать"), this, &MainWindow::NShowClick)
        ->setObjectName(QStringLiteral("NShow"));
    popupMenuTray_->addAction(QStringLiteral("Спрятать"), this, &MainWindow::NHideClick)
        ->setObjectName(QStringLiteral("NHide"));
    popupMenuTray_->addSeparator()->setObjectName(QStringLiteral("N4"));
    popupMenuTray_->addAction(QStringLiteral("Выход"), this, &MainWindow::NCloseClick)
        ->setObjectName(QStringLiteral("NClose"));

    timerTray_.setObjectName(QStringLiteral("TimerTray"));
    timerTray_.setInterval(kTrayRetryMs);
    connect(&timerTray_, &QTimer::timeout, this, &MainWindow::TimerTrayTimer);
    timerTray_.start();

    if (QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
    log_.AttachView(memo1_);
}

MainWindow::~MainWindow() {
    log_.AttachView(nullptr);
    RemoveTrayIcon();
}

bool MainWindow::CreateTrayIcon() {
    if (trayIcon_)
        return true;
    if (!actions_.trayAvailable()) {
        ReportNoTray();
        return false;
    }
    trayIcon_ = std::make_unique<QSystemTrayIcon>(KorvaloIcon());
    trayIcon_->setObjectName(QStringLiteral("TrayIcon"));
    trayIcon_->setToolTip(kTrayHint);
    trayIcon_->setContextMenu(popupMenuTray_.get());
    connect(trayIcon_.get(), &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                if (reason == QSystemTrayIcon::Trigger)
                    TrayIcon1Click();
            });
    trayIcon_->show();
    balloonText_.clear();
    return true;
}

void MainWindow::ReportNoTray() {
    ++trayFailures_;
    if (trayFailures_ == 1)
        log_.PrintInfo(
            LogLine("Область уведомлений недоступна - значок Korvalo будет создан, "
                    "когда она появится"));
    else if (actions_.debug && actions_.debug())
        log_.PrintInfo(LogLine("Область уведомлений недоступна - повторная попытка через 7 с"));
}

void MainWindow::RemoveTrayIcon() {
    if (!trayIcon_)
        return;
    trayIcon_->hide();
    trayIcon_.reset();
}

void MainWindow::ShowBalloon(const QString& text) {
    if (!trayIcon_)
        return;
    balloonText_ = text;
    trayIcon_->showMessage(kBalloonTitle, text, QSystemTrayIcon::Information);
}

void MainWindow::TimerTrayTimer() {
    if (trayIcon_)
        timerTray_.stop();
    else
        (void)CreateTrayIcon();  // reports a failure itself; the next tick tries again
}

void MainWindow::TrayIcon1Click() {
    if (isVisible())
        hide();
    else
        ShowLogWindow();
}

void MainWindow::N1Click() {
    if (!actions_.runSettingsDialog)
        return;
    if (actions_.runSettingsDialog(this) == 1 && actions_.loadSettings)
        actions_.loadSettings();
}

void MainWindow::NShowClick() {
    if (!isVisible())
        ShowLogWindow();
}

void MainWindow::NHideClick() {
    hide();
}

void MainWindow::NCloseClick() {
    closing_ = true;
    close();
}

void MainWindow::btnClearClick() {
    log_.ClearInfo();
}

void MainWindow::btnHideClick() {
    if (isVisible())
        hide();
}

void MainWindow::ShowLogWindow() {
    setWindowState(windowState() & ~Qt::WindowMinimized);
    // No task-bar button: a tool window, and on X11 the window manager is told so as well.
    if (!isVisible() && QGuiApplication::platformName() == QLatin1String("xcb"))
        MarkSkipTaskbar(static_cast<DesktopWindow>(winId()));
    show();
    raise();
    activateWindow();
}

void MainWindow::ApplicationEvents1Minimize() {
    if (!isVisible())
        return;
    // Leave the state change handler before hiding; the window comes back restored.
    QTimer::singleShot(0, this, [this] {
        hide();
        setWindowState(windowState() & ~Qt::WindowMinimized);
    });
}

void MainWindow::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange && isMinimized())
        ApplicationEvents1Minimize();
}

void MainWindow::closeEvent(QCloseEvent* event) {
    if (!closing_) {
        // The window has no close button; a close from the window system only hides it.
        event->ignore();
        hide();
        return;
    }
    event->accept();
    emit exitRequested();
}

}  // namespace korvalo
