// The entry routines as the endpoint calls them: from a connection thread, with the dialog run
// on the UI thread until it closes; real engines (the store engine, the key password window,
// the card-service stand-in) and signatures checked with the openssl command; the log stays
// served while an engine waits.

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QtTest>
#include <atomic>
#include <functional>
#include <optional>
#include <thread>

#include "core/base64.h"
#include "platform/tokens/token_registry.h"
#include "support/card_service_process.h"
#include "support/json_lines.h"
#include "support/qt/dialog_test_support.h"
#include "support/softhsm_tokens.h"
#include "ui/dialogs/fsign.h"
#include "ui/dialogs/fsignjson.h"
#include "ui/dialogs/fsignmsg.h"
#include "ui/dialogs/html_view.h"
#include "ui/dialogs/key_password_prompt.h"
#include "ui/dialogs/qt_signing_dialogs.h"
#include "ui/host/qt_log_sink.h"

using namespace korvalo;
using namespace korvalo::dialogtest;

namespace {

// Steps run on the UI thread, each once its condition holds, in order: the way to act on a
// dialog that runs modally inside the event loop the test is waiting in.
class Scenario : public QObject {
public:
    Scenario& When(std::function<bool()> ready, std::function<void()> act) {
        steps_.push_back({std::move(ready), std::move(act)});
        return *this;
    }
    void Start() {
        connect(&timer_, &QTimer::timeout, this, [this] {
            while (next_ < steps_.size() && steps_[next_].ready()) {
                auto act = steps_[next_].act;
                ++next_;
                act();
            }
        });
        timer_.start(10);
    }
    bool Done() const { return next_ == steps_.size(); }

private:
    struct Step {
        std::function<bool()> ready;
        std::function<void()> act;
    };
    std::vector<Step> steps_;
    std::size_t next_ = 0;
    QTimer timer_;
};

// A routine running on a thread of its own, as a connection handler runs it.
class ConnectionThread {
public:
    explicit ConnectionThread(std::function<int()> routine)
        : thread_([this, routine = std::move(routine)] {
              result_ = routine();
              finished_ = true;
          }) {}
    ~ConnectionThread() {
        if (thread_.joinable())
            thread_.join();
    }
    bool Finished() const { return finished_; }
    int Result() {
        thread_.join();
        return result_;
    }

private:
    std::atomic<bool> finished_{false};
    int result_ = 0;
    std::thread thread_;
};

template <typename T>
T* Top(const char* name) {
    return qobject_cast<T*>(FindTopLevel(QString::fromLatin1(name)));
}

bool LogHas(const QtLogSink& log, const std::string& part) {
    for (const std::string& line : log.Model().Lines()) {
        if (line.find(part) != std::string::npos)
            return true;
    }
    return false;
}

}  // namespace

class EntryRoutinesTest : public QObject {
    Q_OBJECT

private slots:
    void init();
    void theMessageDialogSignsForAConnectionThread();
    void waysOutReachTheConnectionThread_data();
    void waysOutReachTheConnectionThread();
    void theFileDialogSignsForAConnectionThread();
    void theBatchDialogSignsForAConnectionThread();
    void aProtectedKeyAsksForItsPassword();
    void aCancelledPasswordLeavesTheDialogOpen();
    void aTokenCertificateIsPreselectedAndItsPinAsked();
    void anIdCardSignatureComesFromTheCardService();
    void aCardServiceThatHangsHoldsTheDialog();
    void aFileTooLargeForTheCardIsRefusedInTheDialog();

private:
    SigningEnvironment Environment(const std::filesystem::path& store) {
        SigningEnvironment environment(*log_);
        environment.storeLocation = store;
        return environment;
    }
    // A store of one certificate under the fixture CA whose key is protected by the password
    // "secret".
    void WriteProtectedStore(const std::filesystem::path& folder) const {
        testing::WritePem(
            folder / "protected.pem",
            IssueUnder(store_.ca, NameParts{"Ключ", "Сидоров", "Сидор", "", "", ""}, "33"),
            {.keyPassword = std::string("secret")});
    }

    FixtureStore store_;
    std::unique_ptr<TempDir> work_;
    std::unique_ptr<QtLogSink> log_;
};

void EntryRoutinesTest::init() {
    work_ = std::make_unique<TempDir>();
    log_ = std::make_unique<QtLogSink>();
}

void EntryRoutinesTest::theMessageDialogSignsForAConnectionThread() {
    QtSigningDialogs dialogs(Environment(store_.folder));
    const std::filesystem::path file = *work_ / "message.htm";
    testing::WriteBytes(file, "<p>\xCF\xEB\xE0\xF2\xE5\xE6</p>");  // "Платеж" in code page 1251
    SigningOptions options = Sha256Options();
    options.certificateNum = "0a0b 0c0d";
    std::string signature = "old";

    Scenario scenario;
    scenario
        .When([] { return Top<TFSignMsgDialog>("FSignMsgDialog") != nullptr; },
              [] {
                  auto* dialog = Top<TFSignMsgDialog>("FSignMsgDialog");
                  QCOMPARE(dialog->ComboBoxCerts()->currentText(), QString("Иванов Иван"));
                  QVERIFY(dialog->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
              })
        .When([] { return Top<TFSignMsgDialog>("FSignMsgDialog")->BtnSign()->isEnabled(); },
              [] {
                  auto* dialog = Top<TFSignMsgDialog>("FSignMsgDialog");
                  QCOMPARE(dialog->WebBrowserViewMsg()->toPlainText(), QString("Платеж"));
                  dialog->BtnSign()->click();
              });
    scenario.Start();
    ConnectionThread connection(
        [&] { return dialogs.ShowSignMsgDialog(options, file.string(), signature, true); });
    QTRY_VERIFY_WITH_TIMEOUT(connection.Finished(), 60000);
    QVERIFY(scenario.Done());
    QCOMPARE(connection.Result(), 1);
    QVERIFY(signature.find("\r\n") != std::string::npos);
    const testing::CommandResult check =
        VerifyBase64Cms(signature, testing::ReadBytes(file), store_.caFile);
    QVERIFY2(check.exitCode == 0, check.output.c_str());
    QVERIFY(LogHas(*log_, " ---> выработка подписи начата"));
    QVERIFY(FindTopLevel("FSignMsgDialog") == nullptr);
}

void EntryRoutinesTest::waysOutReachTheConnectionThread_data() {
    QTest::addColumn<QString>("dialog");
    QTest::addColumn<QString>("way");
    QTest::addColumn<int>("result");
    for (const char* dialog : {"FSignMsgDialog", "SignFileDialog", "FSignFiles"}) {
        QTest::addRow("%s Escape", dialog) << dialog << "escape" << 8;
        QTest::addRow("%s close box", dialog) << dialog << "close" << 2;
    }
}

void EntryRoutinesTest::waysOutReachTheConnectionThread() {
    QFETCH(QString, dialog);
    QFETCH(QString, way);
    QFETCH(int, result);
    QtSigningDialogs dialogs(Environment(store_.folder));
    const std::filesystem::path file = *work_ / "message.htm";
    testing::WriteBytes(file, "<p>x</p>");
    std::string fileName = "before";
    std::string signature = "before";
    std::optional<ContentFingerprint> signed_;
    TJobList jobs = {{"1", "a", "", ""}};

    Scenario scenario;
    scenario.When([&] { return FindTopLevel(dialog) != nullptr; },
                  [&] {
                      QWidget* window = FindTopLevel(dialog);
                      if (way == "escape")
                          QTest::keyClick(window->focusWidget(), Qt::Key_Escape);
                      else
                          window->close();
                  });
    scenario.Start();
    ConnectionThread connection([&] {
        if (dialog == "FSignMsgDialog")
            return dialogs.ShowSignMsgDialog(Sha256Options(), file.string(), signature, false);
        if (dialog == "SignFileDialog")
            return dialogs.ShowSignFileDialog(Sha256Options(), fileName, signature, 2, signed_);
        return dialogs.ShowSignFilesDialog(Sha256Options(), jobs, "");
    });
    QTRY_VERIFY_WITH_TIMEOUT(connection.Finished(), 60000);
    QCOMPARE(connection.Result(), result);
    QCOMPARE(signature, std::string("before"));
    QCOMPARE(fileName, std::string("before"));
    QVERIFY(!signed_);
    QVERIFY(jobs[0].sign.empty());
}

void EntryRoutinesTest::theFileDialogSignsForAConnectionThread() {
    DialogEnvironment environment = Environment(store_.folder);
    const std::filesystem::path file = *work_ / "document.pdf";
    testing::WriteBytes(file, std::string(1000, '\x25'));
    environment.chooseFile = [&](QWidget*) {
        return std::optional<QString>(QString::fromStdString(file.string()));
    };
    QtSigningDialogs dialogs(environment);
    SigningOptions options = Sha256Options();
    options.maxFileUpload = 1000;
    std::string fileName;
    std::string signature;
    std::optional<ContentFingerprint> signedContent;

    Scenario scenario;
    scenario
        .When([] { return Top<TSignFileDialog>("SignFileDialog") != nullptr; },
              [] { Top<TSignFileDialog>("SignFileDialog")->BtnSelectFile()->click(); })
        .When([] { return Top<TSignFileDialog>("SignFileDialog")->BtnSign()->isEnabled(); },
              [] { Top<TSignFileDialog>("SignFileDialog")->BtnSign()->click(); });
    scenario.Start();
    ConnectionThread connection(
        [&] { return dialogs.ShowSignFileDialog(options, fileName, signature, 2, signedContent); });
    QTRY_VERIFY_WITH_TIMEOUT(connection.Finished(), 60000);
    QCOMPARE(connection.Result(), 1);
    QCOMPARE(fileName, file.string());
    // What was signed goes with the signature, for the upload to check the file against.
    QVERIFY(signedContent == FingerprintOf(testing::ReadBytes(file)));
    const testing::CommandResult check =
        VerifyBase64Cms(signature, testing::ReadBytes(file), store_.caFile);
    QVERIFY2(check.exitCode == 0, check.output.c_str());
}

void EntryRoutinesTest::theBatchDialogSignsForAConnectionThread() {
    QtSigningDialogs dialogs(Environment(store_.folder));
    TJobList jobs = {{"a", "один", "", ""}, {"b", "два", "", ""}};
    Scenario scenario;
    scenario.When(
        [] {
            auto* dialog = Top<TFSignFiles>("FSignFiles");
            return dialog != nullptr && dialog->BtnSign()->isEnabled();
        },
        [] {
            auto* dialog = Top<TFSignFiles>("FSignFiles");
            QCOMPARE(dialog->ComboBoxCerts()->currentText(), QString("Сервер Только CN"));
            dialog->BtnSign()->click();
        });
    scenario.Start();
    ConnectionThread connection(
        [&] { return dialogs.ShowSignFilesDialog(Sha256Options(), jobs, "0200"); });
    QTRY_VERIFY_WITH_TIMEOUT(connection.Finished(), 60000);
    QCOMPARE(connection.Result(), 1);
    const testing::CommandResult check = VerifyJobs(jobs, store_.caFile);
    QVERIFY2(check.exitCode == 0, check.output.c_str());
}

void EntryRoutinesTest::aProtectedKeyAsksForItsPassword() {
    TempDir store;
    WriteProtectedStore(store.path());
    QtSigningDialogs dialogs(Environment(store.path()));
    const std::filesystem::path file = *work_ / "message.htm";
    testing::WriteBytes(file, "<p>x</p>");
    std::string signature;
    std::optional<ConnectionThread> otherRequest;
    QString firstPrompt;
    QString secondPrompt;
    // Read while the prompt is open: its owner is gone once the dialog has closed.
    QString promptOwner;

    Scenario scenario;
    scenario
        .When([] { return Top<TFSignMsgDialog>("FSignMsgDialog") != nullptr; },
              [] { Top<TFSignMsgDialog>("FSignMsgDialog")->BtnSign()->click(); })
        .When([] { return Top<TFKeyPassword>("FKeyPassword") != nullptr; },
              [&] {
                  auto* prompt = Top<TFKeyPassword>("FKeyPassword");
                  auto* dialog = Top<TFSignMsgDialog>("FSignMsgDialog");
                  firstPrompt = prompt->LabelPrompt()->text();
                  promptOwner = prompt->parentWidget() != nullptr
                                    ? prompt->parentWidget()->objectName()
                                    : QString();
                  QCOMPARE(prompt->windowTitle(), QString("Пароль закрытого ключа"));
                  QVERIFY(prompt->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
                  QCOMPARE(prompt->EdPassword()->echoMode(), QLineEdit::Password);
                  // The signing dialog waits for its engine and cannot be closed meanwhile.
                  QVERIFY(dialog->Busy());
                  QVERIFY(!dialog->close());
                  // Another thread's log line gets through while the prompt is open.
                  otherRequest.emplace([this] {
                      log_->PrintInfo("строка другого запроса");
                      return 0;
                  });
              })
        .When([&] { return otherRequest->Finished(); },
              [] {
                  auto* prompt = Top<TFKeyPassword>("FKeyPassword");
                  prompt->EdPassword()->setText("wrong");
                  prompt->BtnOk()->click();
              })
        .When(
            [&] {
                auto* prompt = Top<TFKeyPassword>("FKeyPassword");
                return prompt != nullptr && prompt->LabelPrompt()->text() != firstPrompt;
            },
            [&] {
                auto* prompt = Top<TFKeyPassword>("FKeyPassword");
                secondPrompt = prompt->LabelPrompt()->text();
                prompt->EdPassword()->setText("secret");
                QTest::keyClick(prompt->EdPassword(), Qt::Key_Return);
            });
    scenario.Start();
    ConnectionThread connection([&] {
        return dialogs.ShowSignMsgDialog(Sha256Options(), file.string(), signature, false);
    });
    QTRY_VERIFY_WITH_TIMEOUT(connection.Finished(), 60000);
    QVERIFY(scenario.Done());
    QCOMPARE(connection.Result(), 1);
    QVERIFY2(firstPrompt.startsWith("Введите пароль закрытого ключа") &&
                 firstPrompt.contains("protected.pem"),
             qPrintable(firstPrompt));
    QVERIFY2(secondPrompt.startsWith("Неверный пароль. "), qPrintable(secondPrompt));
    QCOMPARE(promptOwner, QString("FSignMsgDialog"));
    QVERIFY(LogHas(*log_, "строка другого запроса"));
    const testing::CommandResult check =
        VerifyBase64Cms(signature, testing::ReadBytes(file), store_.caFile);
    QVERIFY2(check.exitCode == 0, check.output.c_str());
}

void EntryRoutinesTest::aTokenCertificateIsPreselectedAndItsPinAsked() {
    testing::SoftHsmTokens tokens;
    tokens.AddToken({.label = "Korvalo Test",
                     .userPin = "1234",
                     .objects = {testing::RsaObject(), testing::EcObject()}});
    TokenRegistry registry(*log_);
    SigningEnvironment environment = Environment(store_.folder);
    environment.tokens = &registry;
    QtSigningDialogs dialogs(environment);
    const std::filesystem::path file = *work_ / "message.htm";
    testing::WriteBytes(file, "<p>token</p>");
    SigningOptions options = Sha256Options();
    options.certificateNum = "70 c0e2";  // the EC certificate of the token
    std::string signature;
    QStringList listed;
    QString selected;
    QString details;
    QString title;
    QStringList prompts;

    auto prompt = [] { return Top<TFKeyPassword>("FKeyPassword"); };
    Scenario scenario;
    scenario
        .When([] { return Top<TFSignMsgDialog>("FSignMsgDialog") != nullptr; },
              [&] {
                  auto* dialog = Top<TFSignMsgDialog>("FSignMsgDialog");
                  for (int i = 0; i < dialog->ComboBoxCerts()->count(); ++i)
                      listed << dialog->ComboBoxCerts()->itemText(i);
                  selected = dialog->ComboBoxCerts()->currentText();
                  details = dialog->HtmlViewer1()->toPlainText();
                  dialog->BtnSign()->click();
              })
        .When([&] { return prompt() != nullptr; },
              [&] {
                  title = prompt()->windowTitle();
                  prompts << prompt()->LabelPrompt()->text();
                  prompt()->EdPassword()->setText("0000");
                  prompt()->BtnOk()->click();
              })
        .When([&] { return prompt() != nullptr && prompt()->LabelPrompt()->text() != prompts[0]; },
              [&] {
                  prompts << prompt()->LabelPrompt()->text();
                  prompt()->EdPassword()->setText("1234");
                  QTest::keyClick(prompt()->EdPassword(), Qt::Key_Return);
              });
    scenario.Start();
    ConnectionThread connection(
        [&] { return dialogs.ShowSignMsgDialog(options, file.string(), signature, false); });
    QTRY_VERIFY_WITH_TIMEOUT(connection.Finished(), 60000);
    QVERIFY(scenario.Done());
    QCOMPARE(connection.Result(), 1);
    // The folder's valid certificates, then the token's; the token's EC certificate chosen.
    QCOMPARE(listed, QStringList({"Петров Петр", "Иванов Иван", "Сервер Только CN", "Картова Елена",
                                  "Токенов Антон"}));
    QCOMPARE(selected, QString("Картова Елена"));
    QVERIFY2(details.contains("Korvalo Test Token CA") && details.contains("Картова Елена"),
             qPrintable(details));
    QCOMPARE(title, QString("PIN-код токена"));
    QCOMPARE(prompts, QStringList({"Введите PIN-код токена «Korvalo Test»:",
                                   "Неверный PIN-код. Введите PIN-код токена «Korvalo Test»:"}));
    QCOMPARE(KeyPasswordTexts::ForTokenPin("Korvalo Test", false, true).prompt,
             QString("Введите PIN-код для подписи ключом токена «Korvalo Test»:"));
    const testing::CommandResult check =
        VerifyBase64Cms(signature, testing::ReadBytes(file), testing::TokenFixture("ca.pem"));
    QVERIFY2(check.exitCode == 0, check.output.c_str());
}

void EntryRoutinesTest::aCancelledPasswordLeavesTheDialogOpen() {
    TempDir store;
    WriteProtectedStore(store.path());
    QtSigningDialogs dialogs(Environment(store.path()));
    const std::filesystem::path file = *work_ / "message.htm";
    testing::WriteBytes(file, "<p>x</p>");
    std::string signature = "before";
    bool attemptEnded = false;

    Scenario scenario;
    scenario
        .When([] { return Top<TFSignMsgDialog>("FSignMsgDialog") != nullptr; },
              [&] {
                  auto* dialog = Top<TFSignMsgDialog>("FSignMsgDialog");
                  connect(dialog, &SigningDialog::signAttemptFinished,
                          [&](bool) { attemptEnded = true; });
                  dialog->BtnSign()->click();
              })
        .When([] { return Top<TFKeyPassword>("FKeyPassword") != nullptr; },
              [] {
                  QTest::keyClick(Top<TFKeyPassword>("FKeyPassword")->EdPassword(), Qt::Key_Escape);
              })
        .When([&] { return attemptEnded; },
              [] {
                  auto* dialog = Top<TFSignMsgDialog>("FSignMsgDialog");
                  QVERIFY(dialog != nullptr);
                  QVERIFY(dialog->LabelError()->text().isEmpty());
                  QVERIFY(dialog->BtnSign()->isEnabled());
                  dialog->close();
              });
    scenario.Start();
    ConnectionThread connection([&] {
        return dialogs.ShowSignMsgDialog(Sha256Options(), file.string(), signature, false);
    });
    QTRY_VERIFY_WITH_TIMEOUT(connection.Finished(), 60000);
    QVERIFY(scenario.Done());
    QCOMPARE(connection.Result(), 2);
    QCOMPARE(signature, std::string("before"));
}

void EntryRoutinesTest::anIdCardSignatureComesFromTheCardService() {
    cardtest::CardCredentials card;
    cardtest::CardServiceProcess service(
        {"--cert", card.cert().string(), "--key", card.key().string()});
    SigningEnvironment environment = Environment(store_.dir / "no-store-needed");
    environment.cardService.port = service.port();
    QtSigningDialogs dialogs(environment);
    const std::filesystem::path file = *work_ / "message.htm";
    testing::WriteBytes(file, std::string("<p>ID-card</p>") + std::string(57, 'x'));
    SigningOptions options;
    options.useIdCard = 1;
    std::string signature;

    Scenario scenario;
    scenario.When(
        [] {
            auto* dialog = Top<TFSignMsgDialog>("FSignMsgDialog");
            return dialog != nullptr && dialog->BtnSign()->isEnabled();
        },
        [] {
            auto* dialog = Top<TFSignMsgDialog>("FSignMsgDialog");
            QVERIFY(!dialog->PanelCerts()->isVisible());
            dialog->BtnSign()->click();
        });
    scenario.Start();
    ConnectionThread connection(
        [&] { return dialogs.ShowSignMsgDialog(options, file.string(), signature, true); });
    QTRY_VERIFY_WITH_TIMEOUT(connection.Finished(), 60000);
    QCOMPARE(connection.Result(), 1);
    std::string output;
    QVERIFY2(cardtest::VerifyDetachedCms(Base64Decode(signature), file, &output), output.c_str());
}

void EntryRoutinesTest::aCardServiceThatHangsHoldsTheDialog() {
    cardtest::CardCredentials card;
    std::optional<cardtest::CardServiceProcess> service;
    service.emplace(std::vector<std::string>{"--cert", card.cert().string(), "--key",
                                             card.key().string(), "--hang"});
    SigningEnvironment environment = Environment(store_.folder);
    environment.cardService.port = service->port();
    QtSigningDialogs dialogs(environment);
    const std::filesystem::path file = *work_ / "message.htm";
    testing::WriteBytes(file, "<p>x</p>");
    SigningOptions options;
    options.useIdCard = 1;
    std::string signature = "before";
    std::optional<ConnectionThread> otherRequest;
    bool attemptEnded = false;

    Scenario scenario;
    scenario
        .When(
            [] {
                auto* dialog = Top<TFSignMsgDialog>("FSignMsgDialog");
                return dialog != nullptr && dialog->BtnSign()->isEnabled();
            },
            [&] {
                auto* dialog = Top<TFSignMsgDialog>("FSignMsgDialog");
                connect(dialog, &SigningDialog::signAttemptFinished,
                        [&](bool) { attemptEnded = true; });
                dialog->BtnSign()->click();
                QVERIFY(dialog->Busy());
                otherRequest.emplace([this] {
                    log_->PrintInfo("пока служба карты ждет");
                    return 0;
                });
            })
        .When([&] { return otherRequest->Finished(); },
              [&] {
                  auto* dialog = Top<TFSignMsgDialog>("FSignMsgDialog");
                  QVERIFY(dialog->Busy());
                  QVERIFY(!dialog->close());
                  QTest::keyClick(dialog, Qt::Key_Escape);
                  QVERIFY(dialog->isVisible());
                  service.reset();  // the service goes away: the exchange fails
              })
        .When([&] { return attemptEnded; },
              [] {
                  auto* dialog = Top<TFSignMsgDialog>("FSignMsgDialog");
                  QVERIFY(!dialog->LabelError()->text().isEmpty());
                  QTest::keyClick(dialog->BtnSign(), Qt::Key_Escape);
              });
    scenario.Start();
    ConnectionThread connection(
        [&] { return dialogs.ShowSignMsgDialog(options, file.string(), signature, false); });
    QTRY_VERIFY_WITH_TIMEOUT(connection.Finished(), 60000);
    QVERIFY(scenario.Done());
    QCOMPARE(connection.Result(), 8);
    QCOMPARE(signature, std::string("before"));
    QVERIFY(LogHas(*log_, "пока служба карты ждет"));
}

// A sparse 3 GiB file chosen for the ID card: the dialog shows the size refusal in its error
// label, the card service receives nothing, and the dialog ends without a signature (so the
// request uploads nothing).
void EntryRoutinesTest::aFileTooLargeForTheCardIsRefusedInTheDialog() {
    cardtest::CardCredentials card;
    const std::filesystem::path serviceLog = *work_ / "card-requests.log";
    cardtest::CardServiceProcess service({"--cert", card.cert().string(), "--key",
                                          card.key().string(), "--log", serviceLog.string()});
    DialogEnvironment environment = Environment(store_.dir / "no-store-needed");
    environment.cardService.port = service.port();
    const std::filesystem::path file = *work_ / "huge.iso";
    testing::WriteBytes(file, "start");
    std::filesystem::resize_file(file, std::uint64_t{3} << 30);
    environment.chooseFile = [&](QWidget*) {
        return std::optional<QString>(QString::fromStdString(file.string()));
    };
    QtSigningDialogs dialogs(environment);
    SigningOptions options;
    options.useIdCard = 1;
    std::string fileName;
    std::string signature;
    QString shown;

    Scenario scenario;
    scenario
        .When([] { return Top<TSignFileDialog>("SignFileDialog") != nullptr; },
              [] { Top<TSignFileDialog>("SignFileDialog")->BtnSelectFile()->click(); })
        .When([] { return Top<TSignFileDialog>("SignFileDialog")->BtnSign()->isEnabled(); },
              [] { Top<TSignFileDialog>("SignFileDialog")->BtnSign()->click(); })
        .When(
            [] {
                auto* dialog = Top<TSignFileDialog>("SignFileDialog");
                return !dialog->Busy() && !dialog->LabelError()->text().isEmpty();
            },
            [&] {
                auto* dialog = Top<TSignFileDialog>("SignFileDialog");
                shown = dialog->LabelError()->text();
                QTest::keyClick(dialog->BtnSign(), Qt::Key_Escape);
            });
    scenario.Start();
    std::optional<ContentFingerprint> signedContent;
    ConnectionThread connection(
        [&] { return dialogs.ShowSignFileDialog(options, fileName, signature, 2, signedContent); });
    QTRY_VERIFY_WITH_TIMEOUT(connection.Finished(), 60000);
    QCOMPARE(connection.Result(), 8);
    QCOMPARE(shown, QStringLiteral("Размер файла (3221225472) превышает допустимый (134217728)."));
    QCOMPARE(signature, std::string());
    QVERIFY(testing::ReadJsonLines(serviceLog).empty());
}

QTEST_MAIN(EntryRoutinesTest)
#include "qt_signing_dialogs_test.moc"
