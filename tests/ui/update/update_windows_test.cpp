// The update component's windows on the offscreen platform: the splash's design, the verdict
// its worker brings from the stand-in of the maker's services, the splash closed by the
// person, the system-modal boxes, and TUpdateComp's Execute with these windows up to the
// updater's stand-in.

#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <QTimer>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>

#include "services/update/dm_update.h"
#include "services/update/update_comp.h"
#include "services/update/update_thread.h"
#include "support/capture_server.h"
#include "support/delivery_doubles.h"
#include "support/files.h"
#include "support/processes.h"
#include "support/qt/update_desk.h"
#include "support/qt/when_modal.h"
#include "support/renovar_standin.h"
#include "support/soap_options.h"
#include "support/system_proxy_double.h"
#include "support/vendor_service_process.h"
#include "ui/update/fm_splash_renovar.h"
#include "ui/update/qt_update_windows.h"

namespace korvalo {

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::TempDir;
using vendortest::VendorServiceProcess;

constexpr char kSoftwareId[] = "{2A9EB3FF-6117-4CC4-BC58-647DCFEE6428}";

UpdateWindowsEnvironment Environment(QWidget* application = nullptr) {
    UpdateWindowsEnvironment environment;
    environment.applicationWindow = [application] { return application; };
    environment.soap = testing::IsolatedSoapOptions();
    return environment;
}

UpdateSplashArgs Args(const std::string& url, const std::string& version = "1.0.0.0") {
    return UpdateSplashArgs{kSoftwareId, version, url, "", "", ""};
}

// A catalog whose newest Korvalo is 2.0.0.0.
std::string WriteCatalog(const TempDir& dir) {
    testing::WriteBytes(dir / "catalog.json", std::string(R"({"software": [
        {"id": ")") + kSoftwareId + R"(", "module": "korvalo", "version": "2.0.0.0",
         "download": "${SELF}/download/korvalo 2.0.0.0.tar.gz", "menus": {}}]})");
    return (dir / "catalog.json").string();
}

// An answer of CheckVersionNew with that verdict.
std::string VerdictAnswer(int code, const std::string& message) {
    return R"(<?xml version="1.0"?><SOAP-ENV:Envelope )"
           R"(xmlns:SOAP-ENV="http://schemas.xmlsoap.org/soap/envelope/" )"
           R"(xmlns:xsd="http://www.w3.org/2001/XMLSchema" )"
           R"(xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance"><SOAP-ENV:Body>)"
           R"(<NS1:CheckVersionNewResponse xmlns:NS1="urn:UpdateSrvIntf-IUpdateSrv">)"
           R"(<return xsi:type="xsd:int">0</return><strErrMsg xsi:type="xsd:string">)" +
           message + R"(</strErrMsg><iErrCode xsi:type="xsd:int">)" + std::to_string(code) +
           R"(</iErrCode></NS1:CheckVersionNewResponse></SOAP-ENV:Body></SOAP-ENV:Envelope>)";
}

}  // namespace

class UpdateWindowsTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        // The updater's stand-in records its arguments and closes its box at once.
        qputenv("KORVALO_RENOVAR_CLOSE_MS", "0");
        qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString((config_.path()).string()));
    }

    void cleanup() {
        TUpdateThread::TerminateAll();
        QVERIFY(TUpdateThread::WaitForAll(std::chrono::seconds(5)));
    }

    void theSplashsDesign() {
        QWidget application;
        for (const bool shown : {false, true}) {
            application.setVisible(shown);
            TFormSplashRenovar window(Environment(&application), Args("http://h"));
            QCOMPARE(window.size(), QSize(413, 98));
            QVERIFY(window.windowFlags().testFlag(Qt::FramelessWindowHint));
            QVERIFY(window.isModal());
            QCOMPARE(window.HasOwnTaskbarButton(), !shown);
            QCOMPARE(window.parentWidget(), shown ? &application : nullptr);
            QLabel* label = window.LbBackgroundMessage();
            QCOMPARE(label->objectName(), QStringLiteral("lbBackgroundMessage"));
            QCOMPARE(label->text(), QStringLiteral("Ожидайте, идет проверка обновлений..."));
            QCOMPARE(label->geometry(), QRect(8, 41, 397, 16));
            QCOMPARE(label->alignment(), Qt::AlignCenter);
            QCOMPARE(label->font().family(), QStringLiteral("Tahoma"));
            QCOMPARE(label->font().pixelSize(), 13);
            QVERIFY(label->testAttribute(Qt::WA_TranslucentBackground));
            if (!shown)
                QCOMPARE(window.geometry().center(),
                         QGuiApplication::primaryScreen()->geometry().center());
            QVERIFY(!window.InProcess());
            QCOMPARE(window.UpdateThread(), nullptr);  // the worker starts when it is shown
        }
        TFormSplashRenovar alone(Environment(nullptr), Args("http://h"));
        QVERIFY(alone.HasOwnTaskbarButton());
    }

    void theSplashReturnsTheVerdictOfTheService() {
        TempDir dir;
        struct Case {
            std::vector<std::string> options;
            std::string version;
            int code;
            std::string message;
        };
        const Case cases[] = {
            {{}, "1.9.0.0", 2, "2.0.0.0"},
            {{}, "2.0.0.0", 0, ""},
            {{"--status", "502"}, "1.0.0.0", 1, "Некорректный шлюз"},
            // Lost on the way to the window: what code page 1251 lacks.
            {{"--refuse", "Ошибка ✓ сервера"}, "1.0.0.0", 1, "Ошибка ? сервера"},
        };
        for (const Case& c : cases) {
            std::vector<std::string> options = {"--config", WriteCatalog(dir)};
            options.insert(options.end(), c.options.begin(), c.options.end());
            VendorServiceProcess service(options);
            const UpdateVerdict verdict =
                ShowUpdateSplash(Environment(), Args(service.Url("/u"), c.version));
            QCOMPARE(verdict.ErrCode, c.code);
            QCOMPARE(verdict.ErrMsg, c.message);
        }
    }

    void aSplashClosedByThePersonGivesZeroAndLetsTheWorkerGo() {
        for (const bool escape : {true, false}) {
            VendorServiceProcess service({"--slow", "1500"});
            std::shared_ptr<TUpdateThread> worker;
            bool inProcess = false;
            testing::WhenModal([&](QWidget* modal) {
                auto* splash = qobject_cast<TFormSplashRenovar*>(modal);
                QVERIFY(splash != nullptr);
                inProcess = splash->InProcess();
                worker = splash->UpdateThread();
                if (escape)
                    QTest::keyClick(splash, Qt::Key_Escape);
                else
                    splash->close();  // as the window system's close does
            });
            const UpdateVerdict verdict = ShowUpdateSplash(Environment(), Args(service.Url()));
            QCOMPARE(verdict.ErrCode, 0);
            QCOMPARE(verdict.ErrMsg, std::string());
            QVERIFY(inProcess);
            QVERIFY(worker != nullptr);
            QVERIFY(worker->Terminated());
            QVERIFY(worker->WaitFor(5s));
            // Whatever was still on its way reaches no window.
            QTest::qWait(100);
        }
    }

    void theBoxesAreSystemModal() {
        QtUpdateWindows windows(Environment());
        struct Case {
            IUpdateWindows::Box box;
            bool yes;
            QMessageBox::Icon icon;
            bool result;
        };
        const Case cases[] = {
            {IUpdateWindows::Box::Question, false, QMessageBox::Question, false},
            {IUpdateWindows::Box::Question, true, QMessageBox::Question, true},
            {IUpdateWindows::Box::Error, true, QMessageBox::Critical, true},
            {IUpdateWindows::Box::Plain, true, QMessageBox::NoIcon, true},
        };
        for (const Case& c : cases) {
            QMessageBox* seen = nullptr;
            bool onTop = false;
            Qt::WindowModality modality = Qt::NonModal;
            QMessageBox::Icon icon = QMessageBox::NoIcon;
            bool yesIsDefault = false;
            testing::WhenModal([&](QWidget* modal) {
                seen = qobject_cast<QMessageBox*>(modal);
                QVERIFY(seen != nullptr);
                onTop = seen->windowFlags().testFlag(Qt::WindowStaysOnTopHint);
                modality = seen->windowModality();
                icon = seen->icon();
                yesIsDefault = seen->defaultButton() != nullptr &&
                               seen->defaultButton() == seen->button(QMessageBox::Yes);
                if (c.box == IUpdateWindows::Box::Question) {
                    QCOMPARE(seen->button(QMessageBox::Yes)->text(), QStringLiteral("Да"));
                    QCOMPARE(seen->button(QMessageBox::No)->text(), QStringLiteral("Нет"));
                }
                QAbstractButton* button = seen->button(QMessageBox::Ok);
                if (button == nullptr)
                    button = seen->button(c.yes ? QMessageBox::Yes : QMessageBox::No);
                button->click();
            });
            QCOMPARE(windows.MessageBox("текст", "korvalo", c.box), c.result);
            QVERIFY(seen != nullptr);
            QVERIFY(onTop);
            QCOMPARE(modality, Qt::ApplicationModal);
            QCOMPARE(icon, c.icon);
            QCOMPARE(yesIsDefault, c.box == IUpdateWindows::Box::Question);
        }
    }

    void executeWithTheWindows() {
        TempDir dir;
        const std::string catalog = WriteCatalog(dir);
        const fs::path bin = dir / "bin";
        fs::create_directories(bin);
        fs::copy_file(testing::RenovarStandinExecutable(), bin / "_Renovar");
        testing::TinyProxy proxy("alice", "secret");
        const std::string proxyServer = "127.0.0.1:" + std::to_string(proxy.Port());
        testing::CaptureServerOptions seven;
        seven.decide = [](const testing::CapturedRequest&) {
            return testing::ReplyWith(200, VerdictAnswer(7, "7.0"), {"Content-Type: text/xml"});
        };
        testing::CaptureServer verdictSeven(seven);
        const std::string unreachable =
            "http://127.0.0.1:" + std::to_string(testing::FreeLoopbackPort());

        struct Case {
            const char* name;
            std::vector<std::string> options;  // the vendor stand-in's
            std::string server;                // empty: the vendor stand-in
            std::string proxy;
            bool yes;
            int result;
            QStringList seen;
            std::string thrown;
        };
        const QString question =
            QStringLiteral("korvalo|Версия программы устарела. Обновить программу?|question");
        const Case cases[] = {
            {"current", {"--version", "2.0.0.0"}, "", "", true, 0, {"splash"}, ""},
            {"seven", {}, verdictSeven.Url("/u"), "", true, 0, {"splash"}, ""},
            {"declined", {}, "", "", false, 2, {"splash", question}, ""},
            {"updated", {}, "", proxyServer, true, 1, {"splash", question}, ""},
            {"unreachable",
             {},
             unreachable,
             "",
             true,
             2,
             {"splash", "korvalo|Невозможно установить соединение с сервером|error"},
             ""},
            {"gateway",
             {"--status", "502"},
             "",
             "",
             true,
             2,
             {"splash", "korvalo|Некорректный шлюз|error"},
             ""},
            {"lost",
             {"--refuse", "Нет ✓ обновлений"},
             "",
             "",
             true,
             2,
             {"splash", "korvalo|Нет ? обновлений|error"},
             ""},
            {"no link",
             {"--refuse", "Нет адреса загрузки", "--fail-on-call", "2"},
             "",
             "",
             true,
             -1,
             {"splash", question},
             "Нет адреса загрузки"},
        };
        for (const Case& c : cases) {
            // "--version V" is the version the component sends; the rest is the stand-in's.
            std::string version = "1.0.0.0";
            std::vector<std::string> options = {"--config", catalog};
            for (std::size_t i = 0; i < c.options.size(); ++i) {
                if (c.options[i] == "--version")
                    version = c.options[++i];
                else
                    options.push_back(c.options[i]);
            }
            VendorServiceProcess service(options);
            const fs::path record = dir / (std::string(c.name) + ".json");
            qputenv("KORVALO_RENOVAR_RECORD", QByteArray::fromStdString(record.string()));

            QtUpdateWindows windows(Environment());
            UpdateCompEnvironment environment;
            environment.module = std::make_shared<UpdateModuleSlot>(testing::IsolatedSoapOptions());
            environment.executablePath = (bin / "korvalo").string();
            environment.versionResource = [version] { return VersionResource{version, "korvalo"}; };
            TUpdateComp component(&windows, environment);
            (void)component.PrepareFiles((bin / "korvalo").string());
            component.SetSoftwareID(kSoftwareId);
            component.SetServerPath(c.server.empty() ? service.Url("/update") : c.server);
            component.SetLanguage(TLanguage::ru);
            if (!c.proxy.empty()) {
                component.SetProxyServer(c.proxy);
                component.SetProxyUser("alice");
                component.SetProxyPass("secret");
            }
            testing::UpdateDesk desk(c.yes);
            int result = -1;
            std::string thrown;
            try {
                result = component.Execute();
            } catch (const UpdateDownloadError& e) {
                thrown = e.what();
            }
            QCOMPARE(result, c.result);
            QCOMPARE(thrown, c.thrown);
            QCOMPARE(desk.seen, c.seen);
            if (c.result != 1) {
                QVERIFY(!fs::exists(record));
                continue;
            }
            const auto arguments = testing::WaitForRenovarRecord(record, 20s);
            QVERIFY(arguments.has_value());
            const std::vector<std::string> expected = {
                "korvalo",
                "1.0.0.0",
                "2.0.0.0",
                "127.0.0.1",
                std::to_string(proxy.Port()),
                "alice",
                "secret",
                bin.string() + "/",
                service.Url("/download/korvalo 2.0.0.0.tar.gz"),
                "ru"};
            QCOMPARE(*arguments, expected);
        }
    }

private:
    TempDir config_;
};

}  // namespace korvalo

QTEST_MAIN(korvalo::UpdateWindowsTest)
#include "update_windows_test.moc"
