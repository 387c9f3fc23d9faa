// The settings dialog "Настройки" and the proxy login window.
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QTest>
#include <atomic>
#include <thread>

#include "state/settings/profile_file.h"
#include "state/settings/settings_loader.h"
#include "support/files.h"
#include "support/qt/when_modal.h"
#include "support/recording_doubles.h"
#include "ui/dialogs/login_dialog.h"
#include "ui/dialogs/server_login_dialog.h"
#include "ui/host/fopt.h"

namespace korvalo {

class HostOptionsTest : public QObject {
    Q_OBJECT

private:
    testing::TempDir dir_;
    const std::string ini_ = (dir_ / "korvalo.ini").string();
    // Confirms with "ivan" and "secret" unless a test says otherwise.
    testing::ScriptedPrompt prompt_;

    const std::string& Ini() const { return ini_; }
    std::optional<std::string> Key(const char* section, const char* key) const {
        return ProfileFile(Ini()).Find(section, key);
    }
    template <typename T>
    static T* Child(TFOptions& dialog, const char* name) {
        T* child = dialog.findChild<T*>(name);
        if (child == nullptr)
            qFatal("no control %s", name);
        return child;
    }
    // Sets the server and port, presses OK and tells whether the dialog closed with OK.
    static bool PressOk(TFOptions& dialog) {
        dialog.setResult(0);
        QTest::mouseClick(Child<QPushButton>(dialog, "Button1"), Qt::LeftButton);
        return dialog.result() == 1;
    }

private slots:
    void init() {
        std::filesystem::remove(ini_);
        prompt_.Restart({std::make_pair("ivan", "secret")});
    }

    void textsAndControls() {
        testing::WriteBytes(ini_, "[Main]\ncheckupdate=1\navCrypt= TRUE \n");
        TFOptions dialog(Ini(), prompt_);
        QCOMPARE(dialog.windowTitle(), QStringLiteral("Настройки"));
        QCOMPARE(dialog.size(), QSize(376, 283));
        auto* tabs = Child<QTabWidget>(dialog, "PageControl1");
        QCOMPARE(tabs->count(), 3);
        QCOMPARE(tabs->tabText(0), QStringLiteral("Прокси-сервер"));
        QCOMPARE(tabs->tabText(1), QStringLiteral("ЭЦП"));
        QCOMPARE(tabs->tabText(2), QStringLiteral("Обновление"));
        QCOMPARE(tabs->currentIndex(), 0);
        QCOMPARE(Child<QRadioButton>(dialog, "RadioButtonManual")->text(),
                 QStringLiteral("Конфигурировать прокси-сервер вручную"));
        QCOMPARE(Child<QRadioButton>(dialog, "RadioButtonAuto")->text(),
                 QStringLiteral("Автоматическая конфигурация прокси-сервера"));
        QCOMPARE(Child<QLabel>(dialog, "LabelAvSign")->text(),
                 QStringLiteral("Присоединить к подписи атрибутные сертификаты (для сертификатов, "
                                "полученных в УЦ РУП «Национальный центр электронных услуг»)"));
        auto* update = Child<QCheckBox>(dialog, "CheckBoxUpdate");
        QCOMPARE(update->text(), QStringLiteral("Проверять наличие обновлений при запуске"));
        QVERIFY(!update->isEnabled());
        QVERIFY(update->isChecked());
        QVERIFY(Child<QCheckBox>(dialog, "CheckBoxAvSign")->isChecked());
        QCOMPARE(Child<QPushButton>(dialog, "Button1")->text(), QStringLiteral("OK"));
        QVERIFY(Child<QPushButton>(dialog, "Button1")->isDefault());
        QCOMPARE(Child<QPushButton>(dialog, "Button2")->text(), QStringLiteral("Отмена"));
        // The port takes digits only.
        auto* port = Child<QLineEdit>(dialog, "EdPort");
        QTest::keyClicks(port, "8a0b8");
        QCOMPARE(port->text(), QStringLiteral("808"));
    }

    void serverPatterns_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("ipv4") << "10.0.0.1" << true;
        QTest::newRow("ipv4 inside text") << "proxy at 192.168.1.254 here" << true;
        QTest::newRow("host name") << "proxy1.corp.local" << true;
        QTest::newRow("url") << "http://www.example.com/path" << true;
        QTest::newRow("no dot") << "proxy" << false;
        QTest::newRow("upper-case top level") << "PROXY.CORP" << false;
        QTest::newRow("too short top level") << "proxy.c" << false;
        QTest::newRow("ip out of range, no host part") << "300.1.1.1" << false;
        QTest::newRow("digits only") << "3128" << false;
        QTest::newRow("cyrillic") << "прокси.рф" << false;
        QTest::newRow("empty") << "" << false;
    }
    void serverPatterns() {
        QFETCH(QString, text);
        QFETCH(bool, accepted);
        QCOMPARE(ProxyServerTextAccepted(text.toStdString()), accepted);
    }

    void acceptedServerAsksForCredentialsAndWrites_data() {
        QTest::addColumn<QString>("server");
        QTest::newRow("ipv4") << "10.0.0.1";
        QTest::newRow("host name") << "proxy1.corp.local";
    }
    void acceptedServerAsksForCredentialsAndWrites() {
        QFETCH(QString, server);
        testing::WriteBytes(ini_, "[Main]\nprovider=IOLA\ndebug=true\navCrypt=true\n");
        TFOptions dialog(Ini(), prompt_);
        Child<QLineEdit>(dialog, "EdServer")->setText(server);
        Child<QLineEdit>(dialog, "EdPort")->setText("3128");
        QVERIFY(PressOk(dialog));
        QCOMPARE(prompt_.Calls(), 1);
        QCOMPARE(Key("proxy", "useAutoProxy").value_or("?"), std::string());
        QCOMPARE(Key("proxy", "proxyAddress").value_or(""), server.toStdString());
        QCOMPARE(Key("proxy", "proxyPort").value_or(""), std::string("3128"));
        QCOMPARE(Key("proxy", "proxyAccess").value_or(""), EncodeProxyAccess("ivan", "secret"));
        QCOMPARE(Key("Main", "provider").value_or(""), std::string("IOLA"));
        QCOMPARE(Key("Main", "debug").value_or(""), std::string("true"));
        QCOMPARE(Key("Main", "avCrypt").value_or(""), std::string("true"));
        QVERIFY(!Key("Main", "checkupdate"));
        QVERIFY(!Key("Main", "hashAlgOID"));
    }

    void serverWithoutDotIsRefusedInRedAndNothingIsWritten() {
        const std::string before = "[proxy]\nproxyAddress=old.example.com\nproxyPort=80\n";
        testing::WriteBytes(ini_, before);
        TFOptions dialog(Ini(), prompt_);
        auto* server = Child<QLineEdit>(dialog, "EdServer");
        server->setText("proxy");
        Child<QLineEdit>(dialog, "EdPort")->setText("3128");
        QVERIFY(!PressOk(dialog));
        QCOMPARE(dialog.result(), 0);
        QCOMPARE(server->palette().color(QPalette::Text), QColor(Qt::red));
        QCOMPARE(prompt_.Calls(), 0);
        QCOMPARE(testing::ReadBytesOrEmpty(ini_), before);
        // Corrected, the same run of the dialog is accepted.
        server->setText("proxy.example.com");
        QVERIFY(PressOk(dialog));
        QCOMPARE(Key("proxy", "proxyAddress").value_or(""), std::string("proxy.example.com"));
    }

    void emptyPortSkipsTheCheckAndTheLogin() {
        testing::WriteBytes(ini_, "[proxy]\nproxyAccess=dXNlcjpwdw==\n");
        TFOptions dialog(Ini(), prompt_);
        Child<QLineEdit>(dialog, "EdServer")->setText("proxy");
        Child<QLineEdit>(dialog, "EdPort")->clear();
        QVERIFY(PressOk(dialog));
        QCOMPARE(prompt_.Calls(), 0);
        QCOMPARE(Key("proxy", "proxyAddress").value_or(""), std::string("proxy"));
        QCOMPARE(Key("proxy", "proxyPort").value_or("?"), std::string());
        QCOMPARE(Key("proxy", "proxyAccess").value_or(""), std::string("dXNlcjpwdw=="));
    }

    void automaticModeWritesEmptyAccessAndKeepsServerAndPort() {
        testing::WriteBytes(
            ini_,
            "[proxy]\nuseAutoProxy=true\nproxyAddress=stored.example.com\nproxyPort=8080\n"
            "proxyAccess=dXNlcjpwdw==\n");
        TFOptions dialog(Ini(), prompt_);
        QVERIFY(Child<QRadioButton>(dialog, "RadioButtonAuto")->isChecked());
        QVERIFY(!Child<QRadioButton>(dialog, "RadioButtonManual")->isChecked());
        QVERIFY(!Child<QGroupBox>(dialog, "GroupBox1")->isEnabled());
        QCOMPARE(Child<QLineEdit>(dialog, "EdServer")->text(),
                 QStringLiteral("stored.example.com"));
        QVERIFY(PressOk(dialog));
        QCOMPARE(prompt_.Calls(), 0);
        QCOMPARE(Key("proxy", "useAutoProxy").value_or(""), std::string("true"));
        QCOMPARE(Key("proxy", "proxyAddress").value_or(""), std::string("stored.example.com"));
        QCOMPARE(Key("proxy", "proxyPort").value_or(""), std::string("8080"));
        QCOMPARE(Key("proxy", "proxyAccess").value_or("?"), std::string());
    }

    void clickingAutomaticEmptiesTheFields() {
        testing::WriteBytes(
            ini_, "[proxy]\nproxyAddress=10.1.1.1\nproxyPort=3128\nproxyAccess=dXNlcjpwdw==\n");
        TFOptions dialog(Ini(), prompt_);
        QVERIFY(Child<QGroupBox>(dialog, "GroupBox1")->isEnabled());
        QTest::mouseClick(Child<QRadioButton>(dialog, "RadioButtonAuto"), Qt::LeftButton);
        QVERIFY(!Child<QRadioButton>(dialog, "RadioButtonManual")->isChecked());
        QVERIFY(Child<QLineEdit>(dialog, "EdServer")->text().isEmpty());
        QVERIFY(Child<QLineEdit>(dialog, "EdPort")->text().isEmpty());
        QVERIFY(!Child<QGroupBox>(dialog, "GroupBox1")->isEnabled());
        QVERIFY(PressOk(dialog));
        QCOMPARE(Key("proxy", "useAutoProxy").value_or(""), std::string("true"));
        QCOMPARE(Key("proxy", "proxyAddress").value_or("?"), std::string());
        QCOMPARE(Key("proxy", "proxyPort").value_or("?"), std::string());
        QCOMPARE(Key("proxy", "proxyAccess").value_or("?"), std::string());
    }

    void emptyOrCancelledCredentialsWriteEmptyAccess_data() {
        QTest::addColumn<bool>("confirm");
        QTest::newRow("both empty, confirmed") << true;
        QTest::newRow("cancelled") << false;
    }
    void emptyOrCancelledCredentialsWriteEmptyAccess() {
        QFETCH(bool, confirm);
        testing::WriteBytes(ini_, "[proxy]\nproxyAccess=dXNlcjpwdw==\n");
        prompt_.Restart(
            {confirm ? testing::ScriptedPrompt::Answer(std::make_pair("", "")) : std::nullopt});
        TFOptions dialog(Ini(), prompt_);
        Child<QLineEdit>(dialog, "EdServer")->setText("10.0.0.1");
        Child<QLineEdit>(dialog, "EdPort")->setText("3128");
        QVERIFY(PressOk(dialog));
        QCOMPARE(prompt_.Calls(), 1);
        QCOMPARE(Key("proxy", "proxyAccess").value_or("?"), std::string());
        QCOMPARE(Key("proxy", "proxyAddress").value_or(""), std::string("10.0.0.1"));
    }

    void checkBoxesAndMainKeys() {
        testing::WriteBytes(
            ini_,
            "[Main]\nhashAlgOID=1.2.112.0.2.0.34.101.31.81\ndebug=false\ndebugExt=true\n"
            "avCrypt=true\ncheckupdate=1\n");
        TFOptions dialog(Ini(), prompt_);
        QTest::mouseClick(Child<QCheckBox>(dialog, "CheckBoxAvSign"), Qt::LeftButton);
        QVERIFY(!dialog.avCrypt);
        QVERIFY(PressOk(dialog));
        QCOMPARE(Key("Main", "hashAlgOID").value_or(""), std::string("1.2.112.0.2.0.34.101.31.81"));
        QCOMPARE(Key("Main", "debug").value_or(""), std::string("false"));  // left as it was
        QCOMPARE(Key("Main", "debugExt").value_or(""), std::string("true"));
        QVERIFY(!Key("Main", "avCrypt"));
        QCOMPARE(Key("Main", "checkupdate").value_or(""), std::string("1"));
    }

    void cancelWritesNothing() {
        const std::string before = "[proxy]\nproxyAddress=a.example.com\n";
        testing::WriteBytes(ini_, before);
        TFOptions dialog(Ini(), prompt_);
        Child<QLineEdit>(dialog, "EdServer")->setText("b.example.com");
        QTest::mouseClick(Child<QPushButton>(dialog, "Button2"), Qt::LeftButton);
        QCOMPARE(dialog.result(), 2);
        QCOMPARE(testing::ReadBytesOrEmpty(ini_), before);
    }

    void unwritableFileKeepsTheDialogOpenWithAMessage() {
        const std::string missing = (dir_ / "no-such-folder" / "korvalo.ini").string();
        TFOptions dialog(missing, prompt_);
        QString message;
        testing::WhenModal([&](QWidget* box) {
            if (auto* mb = qobject_cast<QMessageBox*>(box))
                message = mb->text();
            qobject_cast<QDialog*>(box)->done(QMessageBox::Ok);
        });
        QVERIFY(!PressOk(dialog));
        QVERIFY(message.contains(QString::fromStdString(missing)));
    }

    void loginWindowTexts() {
        TFLogin login;
        QCOMPARE(login.windowTitle(), QStringLiteral("Авторизация на прокси-сервере"));
        QCOMPARE(login.size(), QSize(371, 249));
        QVERIFY(login.windowFlags().testFlag(Qt::WindowStaysOnTopHint));
        QVERIFY(login.EdUserName()->text().isEmpty());
        QVERIFY(login.EdPassword()->text().isEmpty());
        QCOMPARE(login.EdPassword()->echoMode(), QLineEdit::Password);
        QVERIFY(login.CheckBoxSavePwd()->isChecked());
        QVERIFY(!login.CheckBoxSavePwd()->isEnabled());
        QCOMPARE(login.CheckBoxSavePwd()->text(), QStringLiteral("Сохранить пароль"));
        QCOMPARE(login.BtnOk()->text(), QStringLiteral("Вход"));
        QVERIFY(login.BtnOk()->isDefault());
        QCOMPARE(login.BtnCancel()->text(), QStringLiteral("Отмена"));
        bool explained = false;
        for (QLabel* label : login.findChildren<QLabel*>())
            explained |= label->text() == QStringLiteral(
                                              "Для доступа на прокси-сервер требуется "
                                              "указать имя пользователя и пароль");
        QVERIFY(explained);
    }

    // From another thread, as the upload asks: "Вход" by Enter sets the values through the
    // single-byte code page; Escape changes nothing.
    void showLoginDialogFromAnotherThread() {
        QtLoginPrompt prompt;
        std::string user = "old";
        std::string pwd = "old";
        bool save = false;
        std::atomic<int> result{-1};
        testing::WhenModal([](QWidget* window) {
            auto* login = qobject_cast<TFLogin*>(window);
            QVERIFY(login != nullptr);
            login->EdUserName()->setText(QStringLiteral("Пётр"));
            login->EdPassword()->setText(QStringLiteral("pä:ss"));
            QTest::keyClick(login->EdPassword(), Qt::Key_Return);
        });
        std::thread asker([&] { result = prompt.ShowLoginDialog(user, pwd, save) ? 1 : 0; });
        QTRY_VERIFY_WITH_TIMEOUT(result.load() >= 0, 60000);
        asker.join();
        QCOMPARE(result.load(), 1);
        QCOMPARE(user, std::string("Пётр"));
        QCOMPARE(pwd, std::string("p?:ss"));
        QVERIFY(save);

        result = -1;
        testing::WhenModal([](QWidget* window) { QTest::keyClick(window, Qt::Key_Escape); });
        std::thread canceller([&] { result = prompt.ShowLoginDialog(user, pwd, save) ? 1 : 0; });
        QTRY_VERIFY_WITH_TIMEOUT(result.load() >= 0, 60000);
        canceller.join();
        QCOMPARE(result.load(), 0);
        QCOMPARE(user, std::string("Пётр"));
    }

    // The web server's window: its own caption, the host named as plain text (whatever the
    // address holds), no save box; from another thread the answer comes back as typed, and
    // Escape changes nothing.
    void serverLoginWindow() {
        ServerLoginDialog window(QStringLiteral("<b>portal.test</b>:8443"));
        QCOMPARE(window.windowTitle(), QStringLiteral("Авторизация на сервере"));
        QCOMPARE(window.Explanation()->text(),
                 QStringLiteral("Сервер <b>portal.test</b>:8443 запрашивает имя пользователя и "
                                "пароль"));
        QCOMPARE(window.Explanation()->textFormat(), Qt::PlainText);
        QVERIFY(window.findChildren<QCheckBox*>().isEmpty());
        QVERIFY(window.windowFlags().testFlag(Qt::WindowStaysOnTopHint));
        QCOMPARE(window.EdPassword()->echoMode(), QLineEdit::Password);
        QCOMPARE(window.BtnOk()->text(), QStringLiteral("Вход"));
        QVERIFY(window.BtnOk()->isDefault());
        QCOMPARE(window.BtnCancel()->text(), QStringLiteral("Отмена"));

        QtServerLoginPrompt prompt;
        std::string user = "old";
        std::string pwd = "old";
        std::atomic<int> result{-1};
        QString shownHost;
        testing::WhenModal([&](QWidget* modal) {
            auto* dialog = qobject_cast<ServerLoginDialog*>(modal);
            QVERIFY(dialog != nullptr);
            shownHost = dialog->Explanation()->text();
            dialog->EdUserName()->setText(QStringLiteral("Пётр"));
            dialog->EdPassword()->setText(QStringLiteral("pä:ss"));
            QTest::keyClick(dialog->EdPassword(), Qt::Key_Return);
        });
        std::thread asker([&] { result = prompt.AskServerLogin("svc.test", user, pwd) ? 1 : 0; });
        QTRY_VERIFY_WITH_TIMEOUT(result.load() >= 0, 60000);
        asker.join();
        QCOMPARE(result.load(), 1);
        QVERIFY(shownHost.contains(QStringLiteral("svc.test")));
        QCOMPARE(user, std::string("Пётр"));
        QCOMPARE(pwd, std::string("pä:ss"));

        result = -1;
        testing::WhenModal([](QWidget* modal) { QTest::keyClick(modal, Qt::Key_Escape); });
        std::thread canceller(
            [&] { result = prompt.AskServerLogin("svc.test", user, pwd) ? 1 : 0; });
        QTRY_VERIFY_WITH_TIMEOUT(result.load() >= 0, 60000);
        canceller.join();
        QCOMPARE(result.load(), 0);
        QCOMPARE(user, std::string("Пётр"));
    }
};

}  // namespace korvalo

QTEST_MAIN(korvalo::HostOptionsTest)
#include "host_options_test.moc"
