// The message signing dialog: its form, the panels it removes, the Sign rules, the ways out and
// their codes, attempts that fail, the dialog held open while an engine works, and messages
// that are missing, malformed or large.

#include <QComboBox>
#include <QLabel>
#include <QLayout>
#include <QPushButton>
#include <QSignalSpy>
#include <QtTest>

#include "core/text.h"
#include "support/qt/dialog_test_support.h"
#include "ui/dialogs/fsignmsg.h"
#include "ui/dialogs/html_view.h"
#include "ui/toolkit/ui_thread.h"

using namespace korvalo;
using namespace korvalo::dialogtest;

namespace {

// A log whose lines go through the UI-thread hand-over, as the activity log's do.
class UiThreadLog : public ILogSink {
public:
    // As in the activity log, a line after the hand-over was shut down is dropped.
    void PrintInfo(const std::string& text) override {
        (void)UiThread::Run([&] { lines.push_back(text); });
    }
    void ClearInfo() override {
        (void)UiThread::Run([&] { lines.clear(); });
    }
    std::size_t LogLength() const override { return lines.size(); }
    std::vector<std::string> lines;  // UI thread
};

// Everything one dialog run needs, with scripted engines.
struct Setup {
    explicit Setup(const std::filesystem::path& store) {
        environment.storeLocation = store;
        environment.engines = script.Factory(log);
    }
    UiThreadLog log;
    EngineScript script;
    SigningEnvironment environment{log};
    SigningOptions options;
};

// The panels that are shown lie inside the window, one below the other.
void CheckPanelsFit(QWidget& dialog, const QList<QWidget*>& shown) {
    dialog.layout()->activate();
    int y = 0;
    for (QWidget* panel : shown) {
        QVERIFY2(panel->isVisibleTo(&dialog), qPrintable(panel->objectName()));
        QCOMPARE(panel->y(), y);
        y += panel->height();
        QVERIFY2(dialog.rect().contains(panel->geometry()), qPrintable(panel->objectName()));
    }
    QCOMPARE(dialog.height(), y);
}

}  // namespace

class MessageDialogTest : public QObject {
    Q_OBJECT

private slots:
    void init();
    void formAndStartState();
    void panelsRemoved_data();
    void panelsRemoved();
    void noValidCertificateLeavesSignDisabled();
    void aStoreThatCannotBeOpenedShowsNoWindow();
    void aFreshHomeOpensWithAnEmptyStore();
    void waysOut_data();
    void waysOut();
    void aFailedThenASuccessfulSign();
    void throwsAndEmptySignaturesAreFailures();
    void theDialogHoldsWhileTheEngineWorks();
    void idCardRequestSignsTheMessageFile();
    void idCardFileThatCannotBeReadIsReported();
    void aMessageThatCannotBeLoadedIsLogged();
    void malformedMessagesShowWhatTheyCan();
    void aLargeMessageLoadsOffTheUiThread();

private:
    std::filesystem::path WriteMessage(const std::string& utf8Html);

    FixtureStore store_;
    std::unique_ptr<TempDir> work_;
};

void MessageDialogTest::init() {
    work_ = std::make_unique<TempDir>();
}

std::filesystem::path MessageDialogTest::WriteMessage(const std::string& utf8Html) {
    const std::filesystem::path file = *work_ / "message.htm";
    testing::WriteBytes(file, ToCp1251(utf8Html));
    return file;
}

void MessageDialogTest::formAndStartState() {
    Setup setup(store_.folder);
    TFSignMsgDialog dialog(setup.environment, setup.options);
    QVERIFY(dialog.Prepare(WriteMessage("<p>Платеж <b>100</b> руб.</p>"), true));
    QCOMPARE(dialog.windowTitle(), QString("Подпись сообщения"));
    QCOMPARE(dialog.size(), QSize(439, 618));
    QCOMPARE(dialog.minimumSize(), dialog.maximumSize());
    QVERIFY(dialog.windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    QVERIFY(dialog.isModal());
    QCOMPARE(dialog.font().family(), QString("Tahoma"));
    QCOMPARE(dialog.focusWidget(), dialog.ComboBoxCerts());
    QVERIFY(dialog.LabelError()->text().isEmpty());
    QCOMPARE(dialog.LabelError()->palette().color(QPalette::WindowText), QColor(Qt::red));
    QVERIFY(dialog.LabelError()->wordWrap());
    QCOMPARE(dialog.BtnSign()->text(), QString("Подписать"));
    QCOMPARE(dialog.BtnClose()->text(), QString("Закрыть"));
    QCOMPARE(dialog.HtmlViewer1()->font().family(), QString("Times New Roman"));
    QCOMPARE(dialog.HtmlViewer1()->font().pointSize(), 10);
    QVERIFY(dialog.HtmlViewer1()->isReadOnly());
    QVERIFY(dialog.WebBrowserViewMsg()->isReadOnly());
    for (const char* name :
         {"PanelMsg", "WebBrowserViewMsg", "PanelCerts", "HtmlViewer1", "ComboBoxCerts",
          "PanelError", "LabelError", "PanelBottom", "BtnSign", "BtnClose"})
        QVERIFY2(dialog.findChild<QWidget*>(name) != nullptr, name);
    CheckPanelsFit(
        dialog, {dialog.PanelMsg(), dialog.PanelCerts(), dialog.findChild<QWidget*>("PanelError"),
                 dialog.findChild<QWidget*>("PanelBottom")});

    // Sign waits for the message to be shown.
    QVERIFY(!dialog.BtnSign()->isEnabled());
    QTRY_VERIFY(dialog.MessageReady());
    QVERIFY(dialog.BtnSign()->isEnabled());
    QCOMPARE(dialog.WebBrowserViewMsg()->toPlainText(), QString("Платеж 100 руб."));
    QVERIFY(qobject_cast<ClosedTextDocument*>(dialog.WebBrowserViewMsg()->document()));
    QCOMPARE(dialog.ComboBoxCerts()->count(), 3);
    QVERIFY(dialog.HtmlViewer1()->toPlainText().contains("CN: Петров Петр"));
}

void MessageDialogTest::panelsRemoved_data() {
    QTest::addColumn<bool>("showMessage");
    QTest::addColumn<int>("useIdCard");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<QStringList>("shown");
    QTest::newRow("message and certificates")
        << true << 0 << "Подпись сообщения"
        << QStringList{"PanelMsg", "PanelCerts", "PanelError", "PanelBottom"};
    QTest::newRow("noshow") << false << 0 << "Подпись"
                            << QStringList{"PanelCerts", "PanelError", "PanelBottom"};
    QTest::newRow("ID card") << true << 1 << "Подпись сообщения"
                             << QStringList{"PanelMsg", "PanelError", "PanelBottom"};
    QTest::newRow("ID card and noshow")
        << false << 1 << "Подпись" << QStringList{"PanelError", "PanelBottom"};
}

void MessageDialogTest::panelsRemoved() {
    QFETCH(bool, showMessage);
    QFETCH(int, useIdCard);
    QFETCH(QString, caption);
    QFETCH(QStringList, shown);
    Setup setup(store_.folder);
    setup.options.useIdCard = useIdCard;
    TFSignMsgDialog dialog(setup.environment, setup.options);
    QVERIFY(dialog.Prepare(WriteMessage("<p>x</p>"), showMessage));
    dialog.show();
    QCOMPARE(dialog.windowTitle(), caption);
    QList<QWidget*> panels;
    for (const QString& name : shown)
        panels << dialog.findChild<QWidget*>(name);
    CheckPanelsFit(dialog, panels);
    for (const char* name : {"PanelMsg", "PanelCerts"}) {
        if (!shown.contains(name))
            QVERIFY(!dialog.findChild<QWidget*>(name)->isVisible());
    }
    QCOMPARE(dialog.width(), 439);
    QTRY_VERIFY(dialog.MessageReady());
    // With the ID card there is nothing to choose: Sign is enabled at once.
    QVERIFY(dialog.BtnSign()->isEnabled());
    if (useIdCard != 0)
        QCOMPARE(dialog.ComboBoxCerts()->count(), 0);
}

void MessageDialogTest::noValidCertificateLeavesSignDisabled() {
    TempDir dir;
    testing::WritePem(
        dir / "old.pem",
        IssueUnder(store_.ca, NameParts{"Старый", "", "", "", "", ""}, "0E",
                   Clock::now() - std::chrono::hours(48), Clock::now() - std::chrono::hours(24)));
    Setup setup(dir.path());
    TFSignMsgDialog dialog(setup.environment, setup.options);
    QVERIFY(dialog.Prepare(WriteMessage("<p>x</p>"), false));
    QCOMPARE(dialog.ComboBoxCerts()->count(), 0);
    QVERIFY(!dialog.BtnSign()->isEnabled());
    dialog.BtnSign()->click();
    QVERIFY(setup.script.Calls().empty());
    QCOMPARE(setup.log.lines.size(), std::size_t{1});
    QVERIFY(
        setup.log.lines[0].ends_with(" ---> Нет действующих сертификатов. Сертификат с ключом "
                                     "(файл .p12, .pfx или .pem) кладётся в папку " +
                                     dir.path().string()));
}

void MessageDialogTest::aStoreThatCannotBeOpenedShowsNoWindow() {
    Setup setup(store_.unusable);
    TFSignMsgDialog dialog(setup.environment, setup.options);
    QVERIFY(!dialog.Prepare(WriteMessage("<p>x</p>"), true));

    std::string signature = "unchanged";
    QCOMPARE(ShowSignMsgDialog(setup.environment, setup.options, WriteMessage("<p>x</p>").string(),
                               signature, true),
             8);
    QCOMPARE(signature, std::string("unchanged"));
    QVERIFY(FindTopLevel("FSignMsgDialog") == nullptr);
    QVERIFY(!setup.log.lines.empty());
    QVERIFY(setup.log.lines[0].ends_with(" ---> Хранилище сертификатов " +
                                         store_.unusable.string() + " не удалось открыть"));
}

// A fresh account without a store folder: the dialog opens with an empty list and Sign
// disabled, the folder is made (private to the user), and the log says where certificates go.
void MessageDialogTest::aFreshHomeOpensWithAnEmptyStore() {
    const std::filesystem::path home = *work_ / "home";
    std::filesystem::create_directory(home);
    const char* oldHome = std::getenv("HOME");
    const char* oldStore = std::getenv("KORVALO_CERT_STORE");
    const std::string savedHome = oldHome != nullptr ? oldHome : "";
    const std::string savedStore = oldStore != nullptr ? oldStore : "";
    ::setenv("HOME", home.c_str(), 1);
    ::unsetenv("KORVALO_CERT_STORE");
    UiThreadLog log;
    SigningEnvironment environment(log);  // the default store location of this account
    EngineScript script;
    environment.engines = script.Factory(log);
    if (oldHome != nullptr)
        ::setenv("HOME", savedHome.c_str(), 1);
    else
        ::unsetenv("HOME");
    if (oldStore != nullptr)
        ::setenv("KORVALO_CERT_STORE", savedStore.c_str(), 1);

    const std::filesystem::path folder = home / ".local/share/korvalo/certs/MY";
    QCOMPARE(environment.storeLocation, folder);
    QVERIFY(!std::filesystem::exists(home / ".local"));
    TFSignMsgDialog dialog(environment, SigningOptions{});
    QVERIFY(dialog.Prepare(WriteMessage("<p>x</p>"), true));
    QTRY_VERIFY(dialog.MessageReady());
    QCOMPARE(dialog.ComboBoxCerts()->count(), 0);
    QVERIFY(!dialog.BtnSign()->isEnabled());
    QVERIFY(dialog.HtmlViewer1()->toPlainText().isEmpty());
    for (const std::filesystem::path& made :
         {home / ".local", home / ".local/share", home / ".local/share/korvalo",
          home / ".local/share/korvalo/certs", folder}) {
        QVERIFY2(std::filesystem::is_directory(made), made.c_str());
        QCOMPARE(std::filesystem::status(made).permissions() & std::filesystem::perms::all,
                 std::filesystem::perms::owner_all);
    }
    QCOMPARE(log.lines.size(), std::size_t{1});
    QVERIFY2(QString::fromStdString(log.lines[0])
                 .endsWith(QString::fromStdString(
                     " ---> Нет действующих сертификатов. Сертификат с ключом (файл .p12, "
                     ".pfx или .pem) кладётся в папку " +
                     folder.string())),
             log.lines[0].c_str());
}

void MessageDialogTest::waysOut_data() {
    AddWaysOutRows();
}

void MessageDialogTest::waysOut() {
    QFETCH(QString, way);
    QFETCH(int, result);
    Setup setup(store_.folder);
    TFSignMsgDialog dialog(setup.environment, setup.options);
    QVERIFY(dialog.Prepare(WriteMessage("<p>x</p>"), true));
    dialog.show();
    QTRY_VERIFY(dialog.MessageReady());
    QVERIFY(LeaveBy(way, dialog, dialog.ComboBoxCerts(), dialog.BtnClose()));
    QVERIFY(!dialog.isVisible());
    QCOMPARE(dialog.result(), result);
    QVERIFY(setup.script.Calls().empty());

    // Enter in the list signs nothing; the focused Sign button signs.
    TFSignMsgDialog second(setup.environment, setup.options);
    QVERIFY(second.Prepare(WriteMessage("<p>x</p>"), false));
    second.show();
    QTest::keyClick(second.ComboBoxCerts(), Qt::Key_Return);
    QVERIFY(second.isVisible());
    QVERIFY(setup.script.Calls().empty());
    second.BtnSign()->setFocus();
    QSignalSpy finished(&second, &SigningDialog::signAttemptFinished);
    QTest::keyClick(second.BtnSign(), Qt::Key_Return);
    QVERIFY(finished.wait(10000));
    QCOMPARE(second.result(), 1);
}

void MessageDialogTest::aFailedThenASuccessfulSign() {
    Setup setup(store_.folder);
    setup.options.certificateNum = "0200";
    setup.script.Add(EngineStep{false, "", "Cертификат не найден."});
    setup.script.Add(EngineStep{true, "SECOND\r\n"});
    const std::filesystem::path message = WriteMessage("<p>x</p>");
    TFSignMsgDialog dialog(setup.environment, setup.options);
    QVERIFY(dialog.Prepare(message, true));
    dialog.show();
    QTRY_VERIFY(dialog.MessageReady());
    QCOMPARE(dialog.ComboBoxCerts()->currentText(), QString("Сервер Только CN"));

    QSignalSpy finished(&dialog, &SigningDialog::signAttemptFinished);
    dialog.BtnSign()->click();
    QVERIFY(finished.wait(10000));
    QCOMPARE(finished.takeFirst().at(0).toBool(), false);
    QVERIFY(dialog.isVisible());
    QCOMPARE(dialog.LabelError()->text(), QString("Cертификат не найден."));
    QVERIFY(dialog.BtnSign()->isEnabled());

    // Another certificate; the error line stays as it is.
    dialog.ComboBoxCerts()->setCurrentIndex(1);
    QVERIFY(dialog.HtmlViewer1()->toPlainText().contains("CN: Иванов Иван"));
    QCOMPARE(dialog.LabelError()->text(), QString("Cертификат не найден."));
    dialog.BtnSign()->click();
    QVERIFY(finished.wait(10000));
    QCOMPARE(finished.takeFirst().at(0).toBool(), true);
    QVERIFY(!dialog.isVisible());
    QCOMPARE(dialog.result(), 1);
    QCOMPARE(dialog.Signature(), std::string("SECOND\r\n"));

    const std::vector<EngineCall> calls = setup.script.Calls();
    QCOMPARE(calls.size(), std::size_t{2});
    QCOMPARE(calls[0].kind, std::string("file"));
    QCOMPARE(calls[0].file, message.string());
    QCOMPARE(calls[0].serial, std::string("0200"));
    QCOMPARE(calls[1].serial, std::string("0A0B 0C0D"));
}

void MessageDialogTest::throwsAndEmptySignaturesAreFailures() {
    Setup setup(store_.folder);
    setup.script.Add(EngineStep{false, "", "", "Не удалось прочитать файл"});
    setup.script.Add(EngineStep{true, ""});
    TFSignMsgDialog dialog(setup.environment, setup.options);
    QVERIFY(dialog.Prepare(WriteMessage("<p>x</p>"), false));
    dialog.show();
    QSignalSpy finished(&dialog, &SigningDialog::signAttemptFinished);
    dialog.BtnSign()->click();
    QVERIFY(finished.wait(10000));
    QCOMPARE(dialog.LabelError()->text(), QString("Не удалось прочитать файл"));
    dialog.BtnSign()->click();
    QVERIFY(finished.wait(10000));
    QCOMPARE(dialog.LabelError()->text(), QString("Подпись не получена."));
    QVERIFY(dialog.isVisible());
    QVERIFY(dialog.result() != 1);
}

void MessageDialogTest::theDialogHoldsWhileTheEngineWorks() {
    Setup setup(store_.folder);
    EngineStep slow;
    slow.block = true;
    slow.logLine = "12:00:00 ---> выработка подписи начата";
    slow.signature = "SLOW";
    setup.script.Add(slow);
    TFSignMsgDialog dialog(setup.environment, setup.options);
    QVERIFY(dialog.Prepare(WriteMessage("<p>x</p>"), true));
    dialog.show();
    QTRY_VERIFY(dialog.MessageReady());
    QSignalSpy finished(&dialog, &SigningDialog::signAttemptFinished);
    dialog.BtnSign()->click();
    QVERIFY(dialog.Busy());
    QVERIFY(!dialog.BtnSign()->isEnabled());
    QVERIFY(!dialog.BtnClose()->isEnabled());
    QVERIFY(!dialog.ComboBoxCerts()->isEnabled());

    // The engine's log line reaches the UI thread while the engine still works.
    QTRY_VERIFY(setup.script.Waiting());
    QTRY_COMPARE(setup.log.lines.size(), std::size_t{1});
    // No way out is taken half-way through.
    QTest::keyClick(dialog.ComboBoxCerts(), Qt::Key_Escape);
    QVERIFY(!dialog.close());
    dialog.reject();
    dialog.BtnClose()->click();
    dialog.BtnSign()->click();
    QVERIFY(dialog.isVisible());
    QCOMPARE(dialog.result(), 0);
    QCOMPARE(setup.script.Calls().size(), std::size_t{1});

    setup.script.Release();
    QVERIFY(finished.wait(10000));
    QVERIFY(!dialog.Busy());
    QCOMPARE(dialog.result(), 1);
    QCOMPARE(dialog.Signature(), std::string("SLOW"));
}

void MessageDialogTest::idCardRequestSignsTheMessageFile() {
    Setup setup(store_.folder);
    setup.options.useIdCard = 1;
    setup.script.Add(EngineStep{true, "CARD"});
    const std::filesystem::path message = WriteMessage("<p>x</p>");
    TFSignMsgDialog dialog(setup.environment, setup.options);
    QVERIFY(dialog.Prepare(message, true));
    dialog.show();
    QTRY_VERIFY(dialog.BtnSign()->isEnabled());
    QSignalSpy finished(&dialog, &SigningDialog::signAttemptFinished);
    dialog.BtnSign()->click();
    QVERIFY(finished.wait(10000));
    QCOMPARE(dialog.result(), 1);
    QCOMPARE(dialog.Signature(), std::string("CARD"));
    const std::vector<EngineCall> calls = setup.script.Calls();
    QCOMPARE(calls.size(), std::size_t{1});
    QCOMPARE(calls[0].kind, std::string("idcard"));
    QCOMPARE(calls[0].file, message.string());
}

void MessageDialogTest::idCardFileThatCannotBeReadIsReported() {
    // The real ID-card engine: the file is gone before the card service is asked.
    RecordingLog log;
    SigningEnvironment environment(log);
    environment.storeLocation = store_.folder;
    environment.cardService.port = 9;
    SigningOptions options;
    options.useIdCard = 1;
    TFSignMsgDialog dialog(environment, options);
    QVERIFY(dialog.Prepare((*work_ / "gone.htm").string(), false));
    dialog.show();
    QSignalSpy finished(&dialog, &SigningDialog::signAttemptFinished);
    dialog.BtnSign()->click();
    QVERIFY(finished.wait(30000));
    QVERIFY(dialog.isVisible());
    QVERIFY(dialog.result() != 1);
    QVERIFY(!dialog.LabelError()->text().isEmpty());
    QVERIFY(dialog.BtnSign()->isEnabled());
}

void MessageDialogTest::aMessageThatCannotBeLoadedIsLogged() {
    Setup setup(store_.folder);
    const std::filesystem::path missing = *work_ / "missing.htm";
    TFSignMsgDialog dialog(setup.environment, setup.options);
    QVERIFY(dialog.Prepare(missing, true));
    dialog.show();
    QTRY_VERIFY(dialog.MessageReady());
    QCOMPARE(setup.log.lines, (std::vector<std::string>{"Не удалось открыть файл сообщения " +
                                                        missing.string() + ": файл не найден"}));
    QVERIFY(dialog.WebBrowserViewMsg()->toPlainText().isEmpty());
    QVERIFY(dialog.BtnSign()->isEnabled());
    QSignalSpy finished(&dialog, &SigningDialog::signAttemptFinished);
    dialog.BtnSign()->click();
    QVERIFY(finished.wait(10000));
    QCOMPARE(dialog.result(), 1);
}

void MessageDialogTest::malformedMessagesShowWhatTheyCan() {
    Setup setup(store_.folder);
    const std::filesystem::path file = *work_ / "broken.htm";
    testing::WriteBytes(file, ToCp1251("<html><body><p>Незакрытый <b>абзац<table><tr><td>"
                                       "ячейка</div></i>") +
                                  std::string("\x98\xC0\x00\x01 \xE0", 6) + ToCp1251(" конец"));
    TFSignMsgDialog dialog(setup.environment, setup.options);
    QVERIFY(dialog.Prepare(file, true));
    dialog.show();
    QTRY_VERIFY(dialog.MessageReady());
    const QString shown = dialog.WebBrowserViewMsg()->toPlainText();
    QVERIFY2(shown.contains("Незакрытый") && shown.contains("ячейка") && shown.contains("конец"),
             qPrintable(shown));
    QVERIFY(dialog.BtnSign()->isEnabled());
    QVERIFY(setup.log.lines.empty());
}

void MessageDialogTest::aLargeMessageLoadsOffTheUiThread() {
    Setup setup(store_.folder);
    std::string html = "<html><body>";
    int paragraphs = 0;
    while (html.size() < 5'000'000) {
        html +=
            "<p>Строка <b>номер</b> " + std::to_string(paragraphs++) + " текста сообщения</p>\n";
    }
    html += "<p>Последняя строка</p></body></html>";
    const std::filesystem::path file = WriteMessage(html);
    TFSignMsgDialog dialog(setup.environment, setup.options);
    QVERIFY(dialog.Prepare(file, true));
    dialog.show();
    QVERIFY(!dialog.MessageReady());
    QVERIFY(!dialog.BtnSign()->isEnabled());
    // The UI thread serves its events while the message is read and laid out.
    bool servedMeanwhile = false;
    QTimer::singleShot(0, &dialog, [&] { servedMeanwhile = !dialog.MessageReady(); });
    QSignalSpy ready(&dialog, &TFSignMsgDialog::messageReady);
    QVERIFY(ready.wait(120000));
    QVERIFY(servedMeanwhile);
    QVERIFY(dialog.BtnSign()->isEnabled());
    QVERIFY(dialog.WebBrowserViewMsg()->document()->toPlainText().endsWith("Последняя строка"));
}

QTEST_MAIN(MessageDialogTest)
#include "fsignmsg_test.moc"
