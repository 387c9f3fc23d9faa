#pragma once
// The main window: the activity log with its two buttons, the tray icon with its menu and the
// timer that retries the icon while no notification area exists.

#include <QIcon>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <QWidget>
#include <functional>
#include <memory>

class QAction;
class QMenu;
class QPlainTextEdit;
class QPushButton;
class QSystemTrayIcon;

namespace korvalo {

class QtLogSink;

// The 16 x 16 image of the tray icon.
QIcon KorvaloIcon();

// The log window. It starts hidden, has no task-bar button and no close button; the user hides
// it and brings it back through the tray icon. Closing it ("Выход") ends Korvalo: the window
// then emits exitRequested().
class MainWindow : public QWidget {
    Q_OBJECT

public:
    // What the window asks of its owner.
    struct Actions {
        // "Настройка...": runs the settings dialog modally with owner as its parent and
        // returns its result (1 for OK).
        std::function<int(QWidget* owner)> runSettingsDialog;
        // After the settings dialog ended with OK: reload the settings.
        std::function<void()> loadSettings;
        // Whether a notification area exists now (default: the system's answer).
        std::function<bool()> trayAvailable;
        // Whether debug output is on (more log lines while the icon cannot be made).
        std::function<bool()> debug;
    };

    MainWindow(QtLogSink& log, Actions actions, QWidget* parent = nullptr);
    ~MainWindow() override;

    // Creates the tray icon once; true when it exists afterwards. Without a notification area
    // the icon stays absent and the timer tries again.
    [[nodiscard]] bool CreateTrayIcon();
    bool TrayIconExists() const { return trayIcon_ != nullptr; }
    QSystemTrayIcon* TrayIcon() const { return trayIcon_.get(); }
    // Hides the icon (it leaves the notification area) and frees it.
    void RemoveTrayIcon();
    // Sets the balloon text and shows the balloon; nothing when there is no icon.
    void ShowBalloon(const QString& text);
    // The text of the last balloon shown (empty when none).
    const QString& BalloonText() const { return balloonText_; }

    QPlainTextEdit* Memo1() const { return memo1_; }
    QMenu* PopupMenuTray() const { return popupMenuTray_.get(); }
    QTimer* TimerTray() { return &timerTray_; }

public slots:
    void TimerTrayTimer();
    void TrayIcon1Click();
    void N1Click();
    void NShowClick();
    void NHideClick();
    void NCloseClick();
    void btnClearClick();
    void btnHideClick();

signals:
    // "Выход" was chosen: the application is to end.
    void exitRequested();

protected:
    void changeEvent(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void ApplicationEvents1Minimize();
    void ShowLogWindow();
    void ReportNoTray();

    QtLogSink& log_;
    Actions actions_;
    QPlainTextEdit* memo1_ = nullptr;
    QPushButton* btnClear_ = nullptr;
    QPushButton* btnHide_ = nullptr;
    std::unique_ptr<QMenu> popupMenuTray_;
    std::unique_ptr<QSystemTrayIcon> trayIcon_;
    QTimer timerTray_;
    QString balloonText_;
    int trayFailures_ = 0;
    bool closing_ = false;
};

}  // namespace korvalo
