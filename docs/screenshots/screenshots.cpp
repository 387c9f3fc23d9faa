// korvalo-screenshots: renders the signing dialogs and the main window over a fixture
// certificate store, the path loader's windows and the update component's splash and question,
// and saves each as a PNG file.
// docs/screenshots/make.sh runs it under Xvfb.
//
//   korvalo-screenshots OUTPUT-FOLDER

#include <QApplication>
#include <QComboBox>
#include <QCoreApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>

#include "core/text.h"
#include "support/capture_server.h"
#include "support/qt/dialog_test_support.h"
#include "ui/dialogs/fsign.h"
#include "ui/dialogs/fsignjson.h"
#include "ui/dialogs/fsignmsg.h"
#include "ui/dialogs/signing_dialog.h"
#include "ui/host/main_window.h"
#include "ui/host/qt_log_sink.h"
#include "ui/pathloader/fm_path_loader_connection.h"
#include "ui/pathloader/fm_path_loader_menu.h"
#include "ui/update/fm_splash_renovar.h"
#include "ui/update/qt_update_windows.h"

using namespace korvalo;
using namespace korvalo::dialogtest;
using namespace std::chrono;

namespace {

constexpr char kMessage[] =
    "<html><body>"
    "<h3>Платежное поручение № 418</h3>"
    "<table border=\"1\" cellspacing=\"0\" cellpadding=\"3\">"
    "<tr><td>Плательщик</td><td>ООО \"Ромашка\"</td></tr>"
    "<tr><td>Получатель</td><td>ОАО \"Северные сети\"</td></tr>"
    "<tr><td>Сумма</td><td><b>12 480,00 руб.</b></td></tr>"
    "<tr><td>Назначение</td><td>Оплата по договору № 77-Э от 02.02.2024</td></tr>"
    "</table></body></html>";

// A store with fixed validity dates, so that the pictures do not change from run to run.
void MakeStore(const std::filesystem::path& folder, const TestCert& ca) {
    std::filesystem::create_directories(folder);
    const auto from = sys_days{year{2024} / 1 / 15} + hours(6);
    const auto to = sys_days{year{2034} / 1 / 15} + hours(6);
    testing::WritePem(folder / "01-ivanov.pem",
                      IssueUnder(ca,
                                 NameParts{"Иванов Иван Иванович", "Иванов", "Иван Иванович",
                                           "ООО \"Ромашка\"", "Бухгалтерия", "RU"},
                                 "0A0B0C0D", from, to));
    testing::WritePem(
        folder / "02-petrova.pem",
        IssueUnder(
            ca, NameParts{"Петрова Анна", "Петрова", "Анна Сергеевна", "ООО \"Ромашка\"", "", "RU"},
            "4A1F", from, to));
    testing::WritePem(
        folder / "03-server.pem",
        IssueUnder(ca, NameParts{"Сервер обмена", "", "", "ООО \"Ромашка\"", "", "RU"}, "0200",
                   from, to));
}

// Lets the widget lay itself out and paint, then saves what it shows.
bool Save(QWidget& widget, const std::filesystem::path& file) {
    widget.show();
    widget.raise();
    for (int i = 0; i < 20; ++i)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    const bool saved = widget.grab().save(QString::fromStdString(file.string()), "PNG");
    std::printf("%s %s\n", saved ? "wrote" : "FAILED", file.string().c_str());
    widget.hide();
    return saved;
}

// prepared, saying so when a dialog could not be made ready (its picture would be wrong).
bool Prepared(bool prepared, const char* name) {
    if (!prepared)
        std::printf("FAILED to prepare %s\n", name);
    return prepared;
}

void WaitFor(const std::function<bool()>& ready) {
    while (!ready())
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 50);
}

}  // namespace

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: korvalo-screenshots OUTPUT-FOLDER\n");
        return 2;
    }
    const std::filesystem::path out = argv[1];
    std::filesystem::create_directories(out);

    TempDir work;
    CertRecipe caRecipe;
    caRecipe.subject = NameParts{
        "Тестовый удостоверяющий центр", "", "", "ООО \"Тест-УЦ\"", "Отдел сертификации", "RU"};
    caRecipe.serialHex = "7E57CA";
    caRecipe.notBefore = sys_days{year{2020} / 1 / 1};
    caRecipe.notAfter = sys_days{year{2040} / 1 / 1};
    const TestCert ca = testing::MakeCa(caRecipe);
    const std::filesystem::path store = work / "MY";
    MakeStore(store, ca);
    const std::filesystem::path message = work / "message.htm";
    testing::WriteBytes(message, ToCp1251(kMessage));
    // The chosen file's path is shown: a fixed one keeps the picture the same between runs.
    const std::filesystem::path documents = "/tmp/korvalo-screenshots/Документы";
    std::filesystem::create_directories(documents);
    const std::filesystem::path document = documents / "Договор поставки 77-Э.pdf";
    testing::WriteBytes(document, "%PDF-1.4\n");

    RecordingLog log;
    EngineScript script;
    DialogEnvironment environment(log);
    environment.storeLocation = store;
    environment.engines = script.Factory(log);
    environment.chooseFile = [&](QWidget*) {
        return std::optional<QString>(QString::fromStdString(document.string()));
    };
    SigningOptions options;
    options.certificateNum = "0A0B 0C0D";
    bool ok = true;

    {
        TFSignMsgDialog dialog(environment, options);
        ok &= Prepared(dialog.Prepare(message, true), "sign-message");
        WaitFor([&] { return dialog.MessageReady(); });
        ok &= Save(dialog, out / "sign-message.png");
    }
    {
        TFSignMsgDialog dialog(environment, options);
        ok &= Prepared(dialog.Prepare(message, false), "sign-message-noshow-error");
        // A failed attempt: the engine's text in the error line.
        script.Add(EngineStep{false, "", "Cертификат не найден."});
        dialog.show();
        dialog.BtnSign()->click();
        WaitFor([&] { return !dialog.Busy(); });
        ok &= Save(dialog, out / "sign-message-noshow-error.png");
    }
    {
        TSignFileDialog dialog(environment, options);
        ok &= Prepared(dialog.Prepare(), "sign-file");
        dialog.BtnSelectFileClick();
        ok &= Save(dialog, out / "sign-file.png");
    }
    {
        SigningOptions idCard = options;
        idCard.useIdCard = 1;
        TSignFileDialog dialog(environment, idCard);
        ok &= Prepared(dialog.Prepare(), "sign-file-idcard");
        dialog.BtnSelectFileClick();
        ok &= Save(dialog, out / "sign-file-idcard.png");
    }
    {
        TJobList jobs = {{"1", "a", "", ""}, {"2", "b", "", ""}};
        TFSignFiles dialog(environment, options, jobs);
        ok &= Prepared(dialog.Prepare("4a1f"), "sign-batch");
        ok &= Save(dialog, out / "sign-batch.png");
    }
    {
        // A long batch at work: the progress in the error line's place.
        TJobList jobs(5000);
        TFSignFiles dialog(environment, options, jobs);
        ok &= Prepared(dialog.Prepare("4a1f"), "sign-batch-progress");
        EngineStep working;
        working.block = true;
        working.progress =
            SigningProgress::Snapshot{SigningProgress::Unit::Documents, 1234, jobs.size()};
        script.Add(working);
        dialog.show();
        dialog.BtnSign()->click();
        WaitFor([&] { return dialog.ProgressBar()->isVisible(); });
        ok &= Save(dialog, out / "sign-batch-progress.png");
        script.Release();
        WaitFor([&] { return !dialog.Busy(); });
    }
    {
        QtLogSink mainLog;
        MainWindow::Actions actions;
        actions.trayAvailable = [] { return false; };
        MainWindow window(mainLog, actions);
        window.setWindowTitle(QStringLiteral("Korvalo"));
        window.TimerTray()->stop();
        for (const char* line :
             {"10:15:02 ---> SS1: установлено соединение", "10:15:02 ---> Разбор параметров",
              "10:15:02 ---> Подпись сообщения", "10:15:09 ---> выработка подписи начата",
              "10:15:09 подпись выработана", "10:15:09 ---> CS1: начата отправка данных на сервер",
              "10:15:10 ---> CS1: отправка файла на сервер завершена",
              "10:15:10 ---> Перенаправление на https://service.example/done"})
            mainLog.PrintInfo(line);
        ok &= Save(window, out / "main-window.png");
    }
    {
        // The path loader's windows: fixed browser proxies, no worker started.
        PathLoaderEnvironment pathLoader;
        pathLoader.browserProxies = [] {
            return BrowserProxies{1, "proxy.corp:3128", "proxy.corp:3128"};
        };
        pathLoader.openUrl = [](const std::string&) {};
        ConnectionDialogArgs args;
        args.Caption = "Korvalo: подключение к серверу";
        args.PathLoaderURL =
            "http://localhost:48090/scripts/PathLoaderSrv.dll\r\n"
            "http://127.0.0.1:48090/scripts/PathLoaderSrv.dll";
        args.SoftwareID = "{2A9EB3FF-6117-4CC4-BC58-647DCFEE6428}";
        {
            TfmPathLoaderConnection window(pathLoader, args);
            window.SetShowMode(0);
            ok &= Save(window, out / "pathloader-connecting.png");
        }
        {
            TfmPathLoaderConnection window(pathLoader, args);
            window.EdtProxyServer()->setText(QStringLiteral("proxy.corp:3128"));
            window.EdtProxyUser()->setText(QStringLiteral("ivanov"));
            window.EdtProxyPassword()->setText(QStringLiteral("secret"));
            window.SetShowMode(1);
            ok &= Save(window, out / "pathloader-aborted.png");
        }
        {
            TfmPathLoaderConnection window(pathLoader, args);
            window.EdtProxyServer()->setText(QStringLiteral("proxy.corp:3128"));
            window.SendErrorToComponent("Невозможно установить соединение с сервером", 12029);
            ok &= Save(window, out / "pathloader-error.png");
        }
        {
            TfmPathLoaderMenu window(pathLoader, QStringLiteral("Korvalo: подключение к серверу"));
            window.AddButtons({QStringLiteral("Основной сервер"),
                               QStringLiteral("Резервный сервер"),
                               QStringLiteral("Тестовый сервер")});
            ok &= Save(window, out / "pathloader-menu.png");
        }
    }
    {
        // The update component: the splash while a service that never answers thinks, and the
        // question.
        testing::CaptureServerOptions silent;
        silent.decide = [](const testing::CapturedRequest&) {
            testing::ServerAction hang;
            hang.kind = testing::ServerAction::Kind::Hang;
            return hang;
        };
        testing::CaptureServer service(silent);
        UpdateWindowsEnvironment update;
        {
            TFormSplashRenovar window(
                update, UpdateSplashArgs{"{2A9EB3FF-6117-4CC4-BC58-647DCFEE6428}", "1.0.0.0",
                                         service.Url(""), "", "", ""});
            ok &= Save(window, out / "update-splash.png");
        }
        {
            const auto box = MakeUpdateMessageBox("Версия программы устарела. Обновить программу?",
                                                  "korvalo", IUpdateWindows::Box::Question);
            ok &= Save(*box, out / "update-question.png");
        }
    }
    std::error_code ignored;
    std::filesystem::remove_all("/tmp/korvalo-screenshots", ignored);
    return ok ? 0 : 1;
}
