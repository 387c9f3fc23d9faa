// The main window, its tray icon and menu, and the notifier's balloon.
#include <QAction>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QTest>

#include "support/qt/when_modal.h"
#include "ui/host/main_window.h"
#include "ui/host/qt_log_sink.h"
#include "ui/host/qt_notifier.h"
#include "ui/toolkit/foreground.h"

namespace korvalo {

namespace {

// A main window whose owner's actions are recorded.
struct Fixture {
    bool trayAvailable = false;
    bool debug = false;
    int dialogResult = 2;
    int dialogRuns = 0;
    int loads = 0;
    QWidget* dialogOwner = nullptr;
    QtLogSink log;
    MainWindow window{log, MainWindow::Actions{
                               [this](QWidget* owner) {
                                   ++dialogRuns;
                                   dialogOwner = owner;
                                   return dialogResult;
                               },
                               [this] { ++loads; },
                               [this] { return trayAvailable; },
                               [this] { return debug; },
                           }};

    QAction* Item(const char* name) { return window.PopupMenuTray()->findChild<QAction*>(name); }
};

}  // namespace

class HostWindowTest : public QObject {
    Q_OBJECT

private slots:
    void layoutAndNames() {
        Fixture f;
        MainWindow& w = f.window;
        QVERIFY(!w.isVisible());
        QCOMPARE(w.size(), QSize(508, 393));
        QCOMPARE(w.minimumSize(), w.maximumSize());
        QVERIFY(!w.windowFlags().testFlag(Qt::WindowCloseButtonHint));
        QVERIFY(!w.windowFlags().testFlag(Qt::WindowSystemMenuHint));
        QVERIFY(w.windowFlags().testFlag(Qt::Tool));  // no task-bar button
        QPlainTextEdit* memo = w.findChild<QPlainTextEdit*>("Memo1");
        QVERIFY(memo != nullptr);
        QVERIFY(memo->isReadOnly());
        QCOMPARE(memo->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
        QCOMPARE(memo->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
        QCOMPARE(memo->geometry(), QRect(0, 0, 508, 330));
        auto* clear = w.findChild<QPushButton*>("btnClear");
        auto* hide = w.findChild<QPushButton*>("btnHide");
        QCOMPARE(clear->text(), QStringLiteral("Очистить"));
        QCOMPARE(hide->text(), QStringLiteral("Спрятать"));
        QCOMPARE(clear->geometry(), QRect(306, 23, 75, 25));
        QCOMPARE(hide->geometry(), QRect(412, 22, 75, 25));
        QCOMPARE(hide->nextInFocusChain(), static_cast<QWidget*>(clear));
        QCOMPARE(w.font().family(), QStringLiteral("Tahoma"));
        QCOMPARE(w.font().pointSize(), 8);
    }

    void trayMenuItemsInOrder() {
        Fixture f;
        const QList<QAction*> items = f.window.PopupMenuTray()->actions();
        QCOMPARE(items.size(), 5);
        QCOMPARE(items[0]->text(), QStringLiteral("Настройка..."));
        QCOMPARE(items[1]->text(), QStringLiteral("Показать"));
        QCOMPARE(items[2]->text(), QStringLiteral("Спрятать"));
        QVERIFY(items[3]->isSeparator());
        QCOMPARE(items[4]->text(), QStringLiteral("Выход"));
        QCOMPARE(f.window.PopupMenuTray()->defaultAction(), items[0]);
        QVERIFY(items[0]->font().bold());
        QCOMPARE(items[0]->objectName(), QStringLiteral("N1"));
        QCOMPARE(items[4]->objectName(), QStringLiteral("NClose"));
    }

    void noNotificationAreaThenTheTimerCreatesTheIconAndStops() {
        Fixture f;
        f.debug = true;
        QTimer* timer = f.window.TimerTray();
        QCOMPARE(timer->interval(), 7000);
        QVERIFY(timer->isActive());
        QVERIFY(!f.window.CreateTrayIcon());
        QVERIFY(!f.window.TrayIconExists());
        f.window.ShowBalloon(QStringLiteral("Korvalo загружен"));  // no icon: nothing shown
        QVERIFY(f.window.BalloonText().isEmpty());
        f.window.TimerTrayTimer();  // still no area: retried, timer keeps running
        QVERIFY(!f.window.TrayIconExists());
        QVERIFY(timer->isActive());
        QCOMPARE(int(f.log.Model().Lines().size()), 2);  // first failure, then a debug retry

        f.trayAvailable = true;
        f.window.TimerTrayTimer();
        QVERIFY(f.window.TrayIconExists());
        QVERIFY(timer->isActive());
        f.window.TimerTrayTimer();  // the next tick finds the icon and stops
        QVERIFY(!timer->isActive());

        QSystemTrayIcon* icon = f.window.TrayIcon();
        QCOMPARE(icon->toolTip(), QStringLiteral("Korvalo для цифровой подписи файлов"));
        QCOMPARE(icon->contextMenu(), f.window.PopupMenuTray());
        QVERIFY(!icon->icon().isNull());
        QCOMPARE(icon->icon().availableSizes().value(0), QSize(16, 16));
        f.window.ShowBalloon(QStringLiteral("Korvalo загружен"));
        QCOMPARE(f.window.BalloonText(), QStringLiteral("Korvalo загружен"));

        f.window.RemoveTrayIcon();
        QVERIFY(!f.window.TrayIconExists());
    }

    void withTheIconAtStartTheFirstTickStopsTheTimer() {
        Fixture f;
        f.trayAvailable = true;
        QVERIFY(f.window.CreateTrayIcon());
        QVERIFY(f.window.CreateTrayIcon());  // once only
        f.window.TimerTrayTimer();
        QVERIFY(!f.window.TimerTray()->isActive());
        QVERIFY(f.log.Model().Lines().empty());
    }

    void trayClickShowsAndHides() {
        Fixture f;
        f.trayAvailable = true;
        QVERIFY(f.window.CreateTrayIcon());
        emit f.window.TrayIcon()->activated(QSystemTrayIcon::Trigger);
        QVERIFY(f.window.isVisible());
        emit f.window.TrayIcon()->activated(QSystemTrayIcon::Context);  // the menu, no toggle
        QVERIFY(f.window.isVisible());
        emit f.window.TrayIcon()->activated(QSystemTrayIcon::Trigger);
        QVERIFY(!f.window.isVisible());
    }

    void showHideAndClearFromMenuAndButtons() {
        Fixture f;
        f.log.PrintInfo("a line");
        f.Item("NShow")->trigger();
        QVERIFY(f.window.isVisible());
        const QRect where = f.window.geometry();
        f.Item("NShow")->trigger();  // already visible: nothing changes
        QVERIFY(f.window.isVisible());
        QCOMPARE(f.window.geometry(), where);
        f.Item("NHide")->trigger();
        QVERIFY(!f.window.isVisible());
        f.Item("NHide")->trigger();
        QVERIFY(!f.window.isVisible());

        f.window.NShowClick();
        QTest::mouseClick(f.window.findChild<QPushButton*>("btnClear"), Qt::LeftButton);
        QVERIFY(f.window.Memo1()->toPlainText().isEmpty());
        QCOMPARE(f.log.LogLength(), std::size_t(0));
        QTest::mouseClick(f.window.findChild<QPushButton*>("btnHide"), Qt::LeftButton);
        QVERIFY(!f.window.isVisible());
    }

    void minimisingHidesTheWindow() {
        Fixture f;
        f.window.NShowClick();
        QVERIFY(QTest::qWaitForWindowExposed(&f.window));
        f.window.showMinimized();
        QTRY_VERIFY(!f.window.isVisible());
        QVERIFY(!f.window.isMinimized());
        f.window.NShowClick();  // back through the tray, restored
        QVERIFY(f.window.isVisible());
        QVERIFY(!f.window.isMinimized());
    }

    void settingsItemReloadsOnlyAfterOk() {
        Fixture f;
        f.dialogResult = 2;
        f.Item("N1")->trigger();
        QCOMPARE(f.dialogRuns, 1);
        QCOMPARE(f.loads, 0);
        QCOMPARE(f.dialogOwner, static_cast<QWidget*>(&f.window));
        f.dialogResult = 1;
        f.Item("N1")->trigger();
        QCOMPARE(f.dialogRuns, 2);
        QCOMPARE(f.loads, 1);
    }

    void exitEndsOnlyThroughTheMenu() {
        Fixture f;
        QSignalSpy exit(&f.window, &MainWindow::exitRequested);
        f.window.NShowClick();
        f.window.close();  // a close from the window system only hides
        QVERIFY(!f.window.isVisible());
        QCOMPARE(exit.count(), 0);
        f.Item("NClose")->trigger();
        QCOMPARE(exit.count(), 1);
    }

    void notifierBalloonFromAnotherThread() {
        Fixture f;
        f.trayAvailable = true;
        QVERIFY(f.window.CreateTrayIcon());
        QtNotifier notifier(&f.window);
        std::atomic<bool> done{false};
        std::thread worker([&] {
            notifier.ShowBalloon("Отправка файла завершена");
            done = true;
        });
        QTRY_VERIFY(done.load());
        worker.join();
        QCOMPARE(f.window.BalloonText(), QStringLiteral("Отправка файла завершена"));
    }

    // A message box asked for from a connection thread: modal on the UI thread, in front,
    // and the caller waits until it is closed.
    void notifierMessageBoxFromAnotherThread() {
        QtNotifier notifier;
        QString text;
        QString caption;
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        bool onTop = false;
        testing::WhenModal([&](QWidget* modal) {
            auto* box = qobject_cast<QMessageBox*>(modal);
            QVERIFY(box != nullptr);
            text = box->text();
            caption = box->windowTitle();
            icon = box->icon();
            onTop = box->windowFlags().testFlag(Qt::WindowStaysOnTopHint);
            box->button(QMessageBox::Ok)->click();
        });
        std::atomic<bool> done{false};
        std::thread worker([&] {
            notifier.ShowMessageBox("Не удается установить соединение с сервером.", "Korvalo",
                                    INotifier::Icon::Information);
            done = true;
        });
        QTRY_VERIFY_WITH_TIMEOUT(done.load(), 60000);
        worker.join();
        QCOMPARE(text, QStringLiteral("Не удается установить соединение с сервером."));
        QCOMPARE(caption, QStringLiteral("Korvalo"));
        QCOMPARE(icon, QMessageBox::Information);
        QVERIFY(onTop);
    }

    void forceForegroundWindowRestoresRaisesAndKeepsOnTop() {
        QWidget window;
        window.resize(200, 100);
        window.showMinimized();
        std::atomic<bool> done{false};
        std::thread worker([&] {
            (void)ForceForegroundWindow(&window);  // what it did is checked below
            done = true;
        });
        QTRY_VERIFY_WITH_TIMEOUT(done.load(), 60000);
        worker.join();
        QVERIFY(window.isVisible());
        QVERIFY(!window.isMinimized());
        QTRY_VERIFY(window.isActiveWindow());
        QVERIFY(ForceForegroundWindow(&window));  // already in front

        // Behind another window: brought up and kept above the others.
        QWidget other;
        other.resize(200, 100);
        other.show();
        other.activateWindow();
        QTRY_VERIFY(other.isActiveWindow());
        // The activation may come later than the answer: what it did is checked below.
        (void)ForceForegroundWindow(&window);
        QVERIFY(window.windowFlags().testFlag(Qt::WindowStaysOnTopHint));
        QVERIFY(window.isVisible());
        QTRY_VERIFY(window.isActiveWindow());
        QVERIFY(!ForceForegroundWindow(nullptr));
    }
};

}  // namespace korvalo

QTEST_MAIN(korvalo::HostWindowTest)
#include "host_window_test.moc"
