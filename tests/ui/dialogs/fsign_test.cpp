// The file signing dialog: its form, the file choice and the Sign rules, the size limit with
// its two message boxes, files that disappear, the ways out, and the real open-file dialog.

#include <QComboBox>
#include <QFileDialog>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QtTest>
#include <fstream>

#include "support/qt/dialog_test_support.h"
#include "ui/dialogs/fsign.h"
#include "ui/dialogs/html_view.h"

using namespace korvalo;
using namespace korvalo::dialogtest;

namespace {

// One dialog run with scripted engines and a scripted file choice.
struct Setup {
    explicit Setup(const std::filesystem::path& store) {
        environment.storeLocation = store;
        environment.engines = script.Factory(log);
        environment.chooseFile = [this](QWidget* owner) {
            owners.push_back(owner);
            std::optional<QString> next = choices.empty() ? std::nullopt : choices.front();
            if (!choices.empty())
                choices.pop_front();
            return next;
        };
    }
    RecordingLog log;
    EngineScript script;
    DialogEnvironment environment{log};
    SigningOptions options;
    std::deque<std::optional<QString>> choices;
    std::vector<QWidget*> owners;
};

QString Q(const std::filesystem::path& path) {
    return QString::fromStdString(path.string());
}

void WriteSized(const std::filesystem::path& file, std::uintmax_t size) {
    std::ofstream(file, std::ios::binary).close();
    std::filesystem::resize_file(file, size);
}

}  // namespace

class FileDialogTest : public QObject {
    Q_OBJECT

private slots:
    void init();
    void formAndStartState();
    void signFollowsTheChosenFileAndCertificate();
    void idCardRequestNeedsOnlyAFile();
    void noValidCertificateNeverEnablesSign();
    void aStoreThatCannotBeOpenedShowsNoWindow();
    void sizeLimit_data();
    void sizeLimit();
    void aFileDeletedAfterItWasChosen();
    void waysOut_data();
    void waysOut();
    void aFailedThenASuccessfulSign();
    void theOpenFileDialog();

private:
    FixtureStore store_;
    std::unique_ptr<TempDir> work_;
};

void FileDialogTest::init() {
    work_ = std::make_unique<TempDir>();
}

void FileDialogTest::formAndStartState() {
    Setup setup(store_.folder);
    TSignFileDialog dialog(setup.environment, setup.options);
    QVERIFY(dialog.Prepare());
    QCOMPARE(dialog.windowTitle(), QString("Выбор и подпись файла"));
    QCOMPARE(dialog.size(), QSize(432, 489));
    QCOMPARE(dialog.minimumSize(), dialog.maximumSize());
    QVERIFY(dialog.windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    QCOMPARE(dialog.focusWidget(), dialog.BtnSelectFile());
    QVERIFY(dialog.EdFile()->text().isEmpty());
    QVERIFY(dialog.EdFile()->isReadOnly());
    QCOMPARE(dialog.EdFile()->focusPolicy(), Qt::ClickFocus);
    QCOMPARE(dialog.BtnSelectFile()->text(), QString("..."));
    QCOMPARE(dialog.BtnSelectFile()->toolTip(), QString("Выбор файла для подписи"));
    QCOMPARE(dialog.BtnSelectFile()->size(), QSize(26, 25));
    QCOMPARE(dialog.Button1()->text(), QString("Закрыть"));
    QVERIFY(!dialog.BtnSign()->isEnabled());
    QVERIFY(dialog.LabelError()->text().isEmpty());
    QCOMPARE(dialog.LabelError()->palette().color(QPalette::WindowText), QColor(Qt::red));
    QCOMPARE(dialog.ComboBoxCerts()->count(), 3);
    QVERIFY(dialog.HtmlViewer1()->toPlainText().contains("CN: Петров Петр"));
    dialog.layout()->activate();
    int y = 0;
    for (QWidget* panel :
         {dialog.Panel3(), dialog.PanelCerts(), dialog.PanelError(), dialog.Panel1()}) {
        QCOMPARE(panel->y(), y);
        y += panel->height();
    }
    QCOMPARE(y, 489);
}

void FileDialogTest::signFollowsTheChosenFileAndCertificate() {
    Setup setup(store_.folder);
    testing::WriteBytes(*work_ / "a.txt", "a");
    std::filesystem::create_symlink(*work_ / "a.txt", *work_ / "link.txt");
    std::filesystem::create_directory(*work_ / "folder");
    setup.choices = {Q(*work_ / "a.txt"), std::nullopt, Q(*work_ / "missing.txt"),
                     Q(*work_ / "folder"), Q(*work_ / "link.txt")};
    TSignFileDialog dialog(setup.environment, setup.options);
    QVERIFY(dialog.Prepare());
    dialog.show();

    dialog.BtnSelectFile()->click();
    QCOMPARE(dialog.EdFile()->text(), Q(*work_ / "a.txt"));
    QVERIFY(dialog.BtnSign()->isEnabled());
    QCOMPARE(setup.owners.back(), &dialog);
    // A cancelled second choice empties the path.
    dialog.BtnSelectFile()->click();
    QVERIFY(dialog.EdFile()->text().isEmpty());
    QVERIFY(!dialog.BtnSign()->isEnabled());
    dialog.BtnSelectFile()->click();
    QVERIFY(!dialog.BtnSign()->isEnabled());
    dialog.BtnSelectFile()->click();
    QVERIFY(!dialog.BtnSign()->isEnabled());
    // A link to a file is followed.
    dialog.BtnSelectFile()->click();
    QVERIFY(dialog.BtnSign()->isEnabled());

    // Changing the certificate refreshes the details.
    dialog.ComboBoxCerts()->setCurrentIndex(1);
    QVERIFY(dialog.HtmlViewer1()->toPlainText().contains("CN: Иванов Иван"));
    QVERIFY(dialog.BtnSign()->isEnabled());
}

void FileDialogTest::idCardRequestNeedsOnlyAFile() {
    Setup setup(store_.unusable);  // no store is opened for the ID card
    setup.options.useIdCard = 1;
    testing::WriteBytes(*work_ / "a.txt", "a");
    setup.choices = {Q(*work_ / "a.txt")};
    setup.script.Add(EngineStep{true, "CARD"});
    TSignFileDialog dialog(setup.environment, setup.options);
    QVERIFY(dialog.Prepare());
    dialog.show();
    dialog.layout()->activate();
    QVERIFY(!dialog.PanelCerts()->isVisible());
    QCOMPARE(dialog.height(), 489 - 316);
    int y = 0;
    for (QWidget* panel : {dialog.Panel3(), dialog.PanelError(), dialog.Panel1()}) {
        QVERIFY(panel->isVisible());
        QCOMPARE(panel->y(), y);
        y += panel->height();
    }
    QCOMPARE(y, dialog.height());
    QVERIFY(!dialog.BtnSign()->isEnabled());
    dialog.BtnSelectFile()->click();
    QVERIFY(dialog.BtnSign()->isEnabled());
    QSignalSpy finished(&dialog, &SigningDialog::signAttemptFinished);
    dialog.BtnSign()->click();
    QVERIFY(finished.wait(10000));
    QCOMPARE(dialog.result(), 1);
    QCOMPARE(dialog.Signature(), std::string("CARD"));
    QCOMPARE(dialog.FileName(), (*work_ / "a.txt").string());
    QCOMPARE(setup.script.Calls().at(0).kind, std::string("idcard"));
}

void FileDialogTest::noValidCertificateNeverEnablesSign() {
    TempDir empty;
    Setup setup(empty.path());
    testing::WriteBytes(*work_ / "a.txt", "a");
    setup.choices = {Q(*work_ / "a.txt")};
    TSignFileDialog dialog(setup.environment, setup.options);
    QVERIFY(dialog.Prepare());
    dialog.BtnSelectFile()->click();
    QCOMPARE(dialog.EdFile()->text(), Q(*work_ / "a.txt"));
    QVERIFY(!dialog.BtnSign()->isEnabled());
}

void FileDialogTest::aStoreThatCannotBeOpenedShowsNoWindow() {
    Setup setup(store_.unusable);
    std::string fileName = "before";
    std::string signature = "before";
    std::optional<ContentFingerprint> signedContent;
    QCOMPARE(
        ShowSignFileDialog(setup.environment, setup.options, fileName, signature, 2, signedContent),
        8);
    QCOMPARE(fileName, std::string("before"));
    QCOMPARE(signature, std::string("before"));
    QVERIFY(!signedContent);
}

void FileDialogTest::sizeLimit_data() {
    QTest::addColumn<int>("limit");
    QTest::addColumn<qint64>("size");
    QTest::addColumn<QString>("refusal");
    QTest::newRow("no limit") << 0 << qint64(1001) << "";
    QTest::newRow("at the limit") << 1000 << qint64(1000) << "";
    QTest::newRow("one byte over")
        << 1000 << qint64(1001) << "Размер файла (1001) превышает допустимый (1000).";
    QTest::newRow("negative limit")
        << -5 << qint64(1) << "Размер файла (1) превышает допустимый (-5).";
    QTest::newRow("empty file, negative limit")
        << -1 << qint64(0) << "Размер файла (0) превышает допустимый (-1).";
    // 4 GiB + 1 byte: its low 32 bits (1) would pass the limit.
    QTest::newRow("over 4 GiB") << 1000 << qint64(4294967297LL)
                                << "Размер файла (4294967297) превышает допустимый (1000).";
}

void FileDialogTest::sizeLimit() {
    QFETCH(int, limit);
    QFETCH(qint64, size);
    QFETCH(QString, refusal);
    Setup setup(store_.folder);
    setup.options.maxFileUpload = limit;
    const std::filesystem::path file = *work_ / "doc.bin";
    WriteSized(file, static_cast<std::uintmax_t>(size));  // sparse beyond the first bytes
    setup.choices = {Q(file)};
    TSignFileDialog dialog(setup.environment, setup.options);
    QVERIFY(dialog.Prepare());
    dialog.show();
    dialog.BtnSelectFile()->click();
    QVERIFY(dialog.BtnSign()->isEnabled());

    MessageBoxAnswerer answerer;
    QSignalSpy finished(&dialog, &SigningDialog::signAttemptFinished);
    dialog.BtnSign()->click();
    if (refusal.isEmpty()) {
        QVERIFY(finished.wait(10000));
        QVERIFY(answerer.seen.empty());
        QCOMPARE(setup.script.Calls().size(), std::size_t{1});
        QCOMPARE(setup.script.Calls()[0].file, file.string());
        QCOMPARE(dialog.result(), 1);
    } else {
        // The message box ran modally inside the click and has been answered.
        QCOMPARE(answerer.seen.size(), std::size_t{1});
        QCOMPARE(answerer.seen[0].title, QString("Ошибка"));
        QCOMPARE(answerer.seen[0].text, refusal);
        QCOMPARE(answerer.seen[0].icon, QMessageBox::Critical);
        QCOMPARE(answerer.seen[0].owner, &dialog);
        QVERIFY(setup.script.Calls().empty());
        QVERIFY(dialog.isVisible());
        QVERIFY(dialog.BtnSign()->isEnabled());
        QVERIFY(dialog.LabelError()->text().isEmpty());
    }
    QCOMPARE(FileSizeRefusal(static_cast<std::uint64_t>(size), limit), refusal.toStdString());
}

void FileDialogTest::aFileDeletedAfterItWasChosen() {
    // With a limit: the size query cannot open it.
    Setup setup(store_.folder);
    setup.options.maxFileUpload = 1000;
    const std::filesystem::path file = *work_ / "doc.txt";
    testing::WriteBytes(file, "data");
    setup.choices = {Q(file)};
    TSignFileDialog dialog(setup.environment, setup.options);
    QVERIFY(dialog.Prepare());
    dialog.show();
    dialog.BtnSelectFile()->click();
    QVERIFY(dialog.BtnSign()->isEnabled());
    std::filesystem::remove(file);
    MessageBoxAnswerer answerer;
    dialog.BtnSign()->click();
    QCOMPARE(answerer.seen.size(), std::size_t{1});
    QCOMPARE(answerer.seen[0].text, QString("Невозможно открыть файл."));
    QCOMPARE(answerer.seen[0].title, QString("Ошибка"));
    QCOMPARE(answerer.seen[0].icon, QMessageBox::Critical);
    QVERIFY(setup.script.Calls().empty());
    QVERIFY(dialog.isVisible());

    // An unreadable file passes no size query either.
    if (::geteuid() != 0) {
        testing::WriteBytes(file, "data");
        std::filesystem::permissions(file, std::filesystem::perms::none);
        dialog.BtnSign()->click();
        QCOMPARE(answerer.seen.size(), std::size_t{2});
        QCOMPARE(answerer.seen[1].text, QString("Невозможно открыть файл."));
        std::filesystem::permissions(file, std::filesystem::perms::owner_all);
    }

    // Without a limit the real engine finds it gone: its text in the error line.
    RecordingLog log;
    DialogEnvironment real(log);
    real.storeLocation = store_.folder;
    const std::filesystem::path second = *work_ / "second.txt";
    testing::WriteBytes(second, "data");
    real.chooseFile = [&](QWidget*) { return std::optional<QString>(Q(second)); };
    TSignFileDialog noLimit(real, Sha256Options());
    QVERIFY(noLimit.Prepare());
    noLimit.show();
    noLimit.BtnSelectFile()->click();
    std::filesystem::remove(second);
    QSignalSpy finished(&noLimit, &SigningDialog::signAttemptFinished);
    noLimit.BtnSign()->click();
    QVERIFY(finished.wait(30000));
    QVERIFY(noLimit.isVisible());
    QVERIFY(noLimit.result() != 1);
    QVERIFY(!noLimit.LabelError()->text().isEmpty());
}

void FileDialogTest::waysOut_data() {
    AddWaysOutRows();
}

void FileDialogTest::waysOut() {
    QFETCH(QString, way);
    QFETCH(int, result);
    Setup setup(store_.folder);
    TSignFileDialog dialog(setup.environment, setup.options);
    QVERIFY(dialog.Prepare());
    dialog.show();
    QVERIFY(LeaveBy(way, dialog, dialog.BtnSelectFile(), dialog.Button1()));
    QVERIFY(!dialog.isVisible());
    QCOMPARE(dialog.result(), result);
}

void FileDialogTest::aFailedThenASuccessfulSign() {
    Setup setup(store_.folder);
    const std::filesystem::path file = *work_ / "doc.txt";
    testing::WriteBytes(file, "data");
    setup.choices = {Q(file)};
    setup.script.Add(EngineStep{false, "", "Не определена страна издателя"});
    setup.script.Add(EngineStep{true, "SECOND"});
    TSignFileDialog dialog(setup.environment, setup.options);
    QVERIFY(dialog.Prepare());
    dialog.show();
    dialog.BtnSelectFile()->click();
    QSignalSpy finished(&dialog, &SigningDialog::signAttemptFinished);
    dialog.BtnSign()->click();
    QVERIFY(finished.wait(10000));
    QCOMPARE(dialog.LabelError()->text(), QString("Не определена страна издателя"));
    QVERIFY(dialog.isVisible());
    dialog.ComboBoxCerts()->setCurrentIndex(2);
    dialog.BtnSign()->click();
    QVERIFY(finished.wait(10000));
    QCOMPARE(dialog.result(), 1);
    QCOMPARE(dialog.Signature(), std::string("SECOND"));
    QCOMPARE(dialog.FileName(), file.string());
    const std::vector<EngineCall> calls = setup.script.Calls();
    QCOMPARE(calls.size(), std::size_t{2});
    QCOMPARE(calls[0].serial, std::string("01"));
    QCOMPARE(calls[1].serial, std::string("0200"));
}

void FileDialogTest::theOpenFileDialog() {
    const std::filesystem::path file = *work_ / "chosen.txt";
    testing::WriteBytes(file, "x");
    QWidget owner;
    owner.show();
    QString title;
    bool nonNative = false;
    QFileDialog::FileMode mode = QFileDialog::AnyFile;
    QStringList filters;
    QWidget* parent = nullptr;
    QTimer::singleShot(0, [&] {
        auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        QVERIFY(dialog != nullptr);
        title = dialog->windowTitle();
        nonNative = dialog->testOption(QFileDialog::DontUseNativeDialog);
        mode = dialog->fileMode();
        filters = dialog->nameFilters();
        parent = dialog->parentWidget();
        dialog->selectFile(Q(file));
        static_cast<QDialog*>(dialog)->accept();
    });
    const std::optional<QString> chosen = ChooseFileToSign(&owner);
    QCOMPARE(title, QString("Выбор файла для подписи"));
    QVERIFY(nonNative);
    QCOMPARE(mode, QFileDialog::ExistingFile);
    QVERIFY(filters.size() <= 1);
    QCOMPARE(parent, &owner);
    QVERIFY(chosen.has_value());
    QCOMPARE(*chosen, Q(file));

    QTimer::singleShot(0, [] { QApplication::activeModalWidget()->close(); });
    QVERIFY(!ChooseFileToSign(&owner).has_value());
}

QTEST_MAIN(FileDialogTest)
#include "fsign_test.moc"
