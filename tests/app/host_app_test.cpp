// The host put together in one process: start-up with the main window, the settings item of
// the tray menu with its reload, the log fed by the endpoint's threads, the port message box,
// and shutdown.
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <future>

#include "app/host_app.h"
#include "core/version.h"
#include "support/capture_server.h"
#include "support/files.h"
#include "support/http_exchange.h"
#include "support/qt/when_modal.h"
#include "support/system_proxy_double.h"
#include "ui/host/fopt.h"
#include "ui/host/main_window.h"
#include "ui/host/qt_log_sink.h"
#include "ui/pathloader/fm_path_loader_connection.h"
#include "ui/update/fm_splash_renovar.h"

namespace korvalo {

class HostAppTest : public QObject {
    Q_OBJECT

private:
    testing::TempDir dir_;
    int companionStarts_ = 0;
    int avestReleases_ = 0;

    HostOptions Options(std::uint16_t port = 0) {
        HostOptions options;
        options.ownParts = false;
        options.main.settingsPaths.mainIni = (dir_ / "korvalo.ini").string();
        options.main.settingsPaths.perUserIni = (dir_ / "user" / "korvalo.ini").string();
        options.main.protocolFile = (dir_ / "request.txt").string();
        options.main.endpoint.port = port;
        options.main.systemProxy = std::make_shared<testing::FakeSystemProxy>();
        options.main.startCompanion = [this] {
            ++companionStarts_;
            return CompanionOutcome{true, "run.sh", {}};
        };
        options.main.releaseAvest = [this] { ++avestReleases_; };
        options.main.certStore = (dir_ / "MY").string();
        options.trayAvailable = [] { return false; };
        return options;
    }
    void PutIni(const std::string& text) { testing::WriteBytes(dir_ / "korvalo.ini", text); }

private slots:
    void init() {
        companionStarts_ = 0;
        avestReleases_ = 0;
    }

    void startServeReloadAndStop() {
        PutIni("[Main]\nprovider=IOLA\n");
        HostApplication host(Options());
        host.Start();
        MainWindow& window = host.Window();
        QVERIFY(!window.isVisible());
        QCOMPARE(window.windowTitle(),
                 QStringLiteral("Протокол сервера v.") + QString::fromLatin1(GetProgramVersion()));
        QCOMPARE(companionStarts_, 1);
        QVERIFY(!window.TrayIconExists());
        QVERIFY(window.TimerTray()->isActive());

        // A connection thread logs through the UI thread while this one serves events.
        const std::uint16_t port = host.Main().Endpoint()->Port();
        auto answer = std::async(std::launch::async, [port] { return testing::Options(port); });
        QTRY_VERIFY_WITH_TIMEOUT(
            answer.wait_for(std::chrono::seconds(0)) == std::future_status::ready, 30000);
        QVERIFY(answer.get().has_value());
        QVERIFY(window.Memo1()->toPlainText().contains("HTTPServer1CommandOther"));

        // "Настройка..." then OK: the file is written and the settings reloaded (with the
        // companion start of the "IOLA" mode).
        QAction* settings = window.PopupMenuTray()->findChild<QAction*>("N1");
        testing::WhenModal([&window](QWidget* modal) {
            auto* dialog = qobject_cast<TFOptions*>(modal);
            QVERIFY(dialog != nullptr);
            QCOMPARE(dialog->parentWidget(), static_cast<QWidget*>(&window));
            QTest::mouseClick(dialog->findChild<QRadioButton*>("RadioButtonAuto"), Qt::LeftButton);
            QTest::mouseClick(dialog->findChild<QPushButton*>("Button1"), Qt::LeftButton);
        });
        settings->trigger();
        QCOMPARE(companionStarts_, 2);
        QVERIFY(host.Main().Store().Snapshot().useAutoProxy);
        QVERIFY(testing::ReadBytes(dir_ / "korvalo.ini").find("useAutoProxy=true") !=
                std::string::npos);

        // "Отмена": nothing is reloaded.
        testing::WhenModal([](QWidget* modal) {
            QTest::mouseClick(modal->findChild<QPushButton*>("Button2"), Qt::LeftButton);
        });
        settings->trigger();
        QCOMPARE(companionStarts_, 2);

        host.Stop();
        QCOMPARE(avestReleases_, 1);
        QVERIFY(!testing::Options(port).has_value());
    }

    void aPortInUseShowsTheMessageBox() {
        testing::PortHolder holder;
        PutIni("");
        HostApplication host(Options(holder.Port()));
        QString text;
        QString caption;
        testing::WhenModal([&](QWidget* modal) {
            auto* box = qobject_cast<QMessageBox*>(modal);
            QVERIFY(box != nullptr);
            text = box->text();
            caption = box->windowTitle();
            QVERIFY(box->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
            box->button(QMessageBox::Ok)->click();
        });
        // Start-up, then the message loop, which the queued request to end stops at once.
        QCOMPARE(host.Run(), 1);
        QCOMPARE(text, QStringLiteral("Порт Korvalo уже занят."));
        QCOMPARE(caption, QStringLiteral("Порт Korvalo"));
        QVERIFY(host.Main().QuitRequested());
        // The rest of start-up still ran.
        QCOMPARE(host.Window().windowTitle(),
                 QStringLiteral("Протокол сервера v.") + QString::fromLatin1(GetProgramVersion()));
        // The certificate store's folder and the notification area.
        const std::vector<std::string> lines = host.Log().Model().Lines();
        QCOMPARE(lines.size(), std::size_t{2});
        QVERIFY(lines[0].ends_with(" ---> Хранилище сертификатов: " + (dir_ / "MY").string()));
        QCOMPARE(avestReleases_, 0);  // ended without the shutdown steps
    }

    // Korvalo never runs its path loader, but the component has its windows: they get a
    // task-bar button of their own while the main window is hidden.
    void thePathLoaderHasItsWindows() {
        HostOptions options = Options();
        options.ownParts = true;
        HostApplication host(options);
        host.Start();
        TPathLoader& loader = host.Main().PathLoader();
        loader.SetPathLoaderURLType(TPathLoaderURLType::plCustom);
        loader.SetPathLoaderURL({"http://127.0.0.1:1/scripts/PathLoaderSrv.dll"});
        for (const bool mainVisible : {false, true}) {
            host.Window().setVisible(mainVisible);
            bool ownButton = mainVisible;
            testing::WhenModal([&](QWidget* modal) {
                auto* window = qobject_cast<TfmPathLoaderConnection*>(modal);
                QVERIFY(window != nullptr);
                ownButton = window->HasOwnTaskbarButton();
                modal->close();
            });
            QVERIFY(!loader.Execute());
            QCOMPARE(ownButton, !mainVisible);
        }
        host.Window().hide();
        host.Stop();
    }

    // Korvalo never runs its update component either; it has its splash, which likewise gets
    // a task-bar button of its own while the main window is hidden. Closed by the person, the
    // splash gives no verdict and nothing else is shown.
    void theUpdateComponentHasItsWindows() {
        HostOptions options = Options();
        options.ownParts = true;
        HostApplication host(options);
        host.Start();
        TUpdateComp& component = host.Main().UpdateComp();
        QCOMPARE(component.SoftwareID(), std::string(kSoftwareId));
        QCOMPARE(component.Language(), TLanguage::ru);
        testing::CaptureServerOptions hang;
        hang.decide = [](const testing::CapturedRequest&) {
            testing::ServerAction action;
            action.kind = testing::ServerAction::Kind::Hang;
            return action;
        };
        testing::CaptureServer service(hang);
        component.SetServerPath(service.Url(""));
        for (const bool mainVisible : {false, true}) {
            host.Window().setVisible(mainVisible);
            bool ownButton = mainVisible;
            testing::WhenModal([&](QWidget* modal) {
                auto* splash = qobject_cast<TFormSplashRenovar*>(modal);
                QVERIFY(splash != nullptr);
                ownButton = splash->HasOwnTaskbarButton();
                modal->close();
            });
            QCOMPARE(component.Execute(), 0);
            QCOMPARE(ownButton, !mainVisible);
        }
        host.Window().hide();
        host.Stop();
    }
};

}  // namespace korvalo

QTEST_MAIN(korvalo::HostAppTest)
#include "host_app_test.moc"
