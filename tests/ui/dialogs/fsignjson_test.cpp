// The batch signing dialog: its form and resizing, the Sign rule, the ways out, and the real
// TSign over the job list: every job signed and checked with openssl, a failing job and a
// retry with another certificate, and the empty list with avCrypt off and on (through the
// stand-in AvCryptMail library).

#include <QComboBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QLayout>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QtTest>
#include <cstdlib>

#include "support/qt/dialog_test_support.h"
#include "ui/dialogs/fsignjson.h"
#include "ui/dialogs/html_view.h"

using namespace korvalo;
using namespace korvalo::dialogtest;

namespace {

TJobList ThreeJobs() {
    return {{"1", "первый документ", "", ""},
            {"2", std::string("\x00\x01\x02 binary", 10), "", ""},
            {"3", "третий", "", ""}};
}

// Runs one Sign attempt and waits for its end; true when the dialog closed with 1.
bool SignOnce(TFSignFiles& dialog) {
    QSignalSpy finished(&dialog, &SigningDialog::signAttemptFinished);
    dialog.BtnSign()->click();
    if (!finished.wait(60000))
        return false;
    return finished.takeFirst().at(0).toBool();
}

}  // namespace

class BatchDialogTest : public QObject {
    Q_OBJECT

private slots:
    void formAndStartState();
    void theWindowResizesItsPanels();
    void noValidCertificateLeavesSignDisabled();
    void aStoreThatCannotBeOpenedShowsNoWindow();
    void waysOut_data();
    void waysOut();
    void everyJobIsSignedAndVerifies();
    void aFailingJobThenARetryWithAnotherCertificate();
    void anEmptyListWithoutAvestStaysOpen();
    void anEmptyListWithAvestCloses();
    void avestSignaturesVerify();
    void aLongRunShowsItsProgressInTheErrorLinesPlace_data();
    void aLongRunShowsItsProgressInTheErrorLinesPlace();

private:
    SigningEnvironment RealEnvironment(const std::filesystem::path& store) {
        SigningEnvironment environment(log_);
        environment.storeLocation = store;
        return environment;
    }

    FixtureStore store_;
    RecordingLog log_;
};

void BatchDialogTest::formAndStartState() {
    TJobList jobs = ThreeJobs();
    TFSignFiles dialog(RealEnvironment(store_.folder), Sha256Options(), jobs);
    QVERIFY(dialog.Prepare("0a0b 0c0d"));
    QCOMPARE(dialog.windowTitle(), QString("Подпись документов"));
    QCOMPARE(dialog.size(), QSize(467, 441));
    QCOMPARE(dialog.pos(), QPoint(0, 0));
    QVERIFY(dialog.minimumSize() != dialog.maximumSize());
    QVERIFY(dialog.windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    QCOMPARE(dialog.focusWidget(), dialog.ComboBoxCerts());
    QCOMPARE(dialog.ComboBoxCerts()->currentIndex(), 1);
    QVERIFY(dialog.HtmlViewer1()->toPlainText().contains("CN: Иванов Иван"));
    QCOMPARE(dialog.HtmlViewer1()->focusPolicy() & Qt::TabFocus, Qt::TabFocus);
    QVERIFY(dialog.BtnSign()->isEnabled());
    QCOMPARE(dialog.LabelError()->parentWidget(), dialog.Panel1());
    QVERIFY(dialog.LabelError()->text().isEmpty());
    QCOMPARE(dialog.LabelError()->palette().color(QPalette::WindowText), QColor(Qt::red));
    QCOMPARE(dialog.PanelCerts()->height(), 73);
    dialog.ComboBoxCerts()->setCurrentIndex(2);
    QVERIFY(dialog.HtmlViewer1()->toPlainText().contains("CN: Сервер Только CN"));
}

void BatchDialogTest::theWindowResizesItsPanels() {
    TJobList jobs = ThreeJobs();
    TFSignFiles dialog(RealEnvironment(store_.folder), Sha256Options(), jobs);
    QVERIFY(dialog.Prepare(""));
    dialog.show();
    dialog.layout()->activate();
    const int viewHeight = dialog.HtmlViewer1()->height();
    const int viewWidth = dialog.HtmlViewer1()->width();
    dialog.resize(700, 600);
    dialog.layout()->activate();
    QCOMPARE(dialog.HtmlViewer1()->height(), viewHeight + 159);
    QCOMPARE(dialog.HtmlViewer1()->width(), viewWidth + 233);
    QCOMPARE(dialog.ComboBoxCerts()->width(), viewWidth + 233);
    // The buttons keep to the lower right corner.
    const QRect close(dialog.BtnClose()->mapTo(&dialog, QPoint(0, 0)), dialog.BtnClose()->size());
    QCOMPARE(close.right(), 700 - 25 - 1);
    QCOMPARE(close.bottom(), 600 - 16 - 1);
    QVERIFY(dialog.BtnSign()->mapTo(&dialog, QPoint(0, 0)).x() < close.left());
}

void BatchDialogTest::noValidCertificateLeavesSignDisabled() {
    TempDir empty;
    TJobList jobs = ThreeJobs();
    TFSignFiles dialog(RealEnvironment(empty.path()), Sha256Options(), jobs);
    QVERIFY(dialog.Prepare(""));
    QCOMPARE(dialog.ComboBoxCerts()->count(), 0);
    QVERIFY(!dialog.BtnSign()->isEnabled());
}

void BatchDialogTest::aStoreThatCannotBeOpenedShowsNoWindow() {
    TJobList jobs = ThreeJobs();
    QCOMPARE(ShowSignFilesDialog(RealEnvironment(store_.unusable), Sha256Options(), jobs, ""), 8);
    for (const TRecordSign& job : jobs)
        QVERIFY(job.sign.empty() && job.error.empty());
}

void BatchDialogTest::waysOut_data() {
    AddWaysOutRows();
}

void BatchDialogTest::waysOut() {
    QFETCH(QString, way);
    QFETCH(int, result);
    TJobList jobs = ThreeJobs();
    TFSignFiles dialog(RealEnvironment(store_.folder), Sha256Options(), jobs);
    QVERIFY(dialog.Prepare(""));
    dialog.show();
    QVERIFY(LeaveBy(way, dialog, dialog.ComboBoxCerts(), dialog.BtnClose()));
    QVERIFY(!dialog.isVisible());
    QCOMPARE(dialog.result(), result);
    for (const TRecordSign& job : jobs)
        QVERIFY(job.sign.empty() && job.error.empty());
}

void BatchDialogTest::everyJobIsSignedAndVerifies() {
    TJobList jobs = ThreeJobs();
    TFSignFiles dialog(RealEnvironment(store_.folder), Sha256Options(), jobs);
    QVERIFY(dialog.Prepare("0A0B 0C0D"));
    dialog.show();
    QVERIFY(SignOnce(dialog));
    QCOMPARE(dialog.result(), 1);
    for (const TRecordSign& job : jobs) {
        QVERIFY(job.error.empty());
        const testing::CommandResult check = VerifyBase64Cms(job.sign, job.pData, store_.caFile);
        QVERIFY2(check.exitCode == 0, check.output.c_str());
    }
    // Each signature covers its own document only.
    QVERIFY(VerifyBase64Cms(jobs[0].sign, jobs[1].pData, store_.caFile).exitCode != 0);
}

void BatchDialogTest::aFailingJobThenARetryWithAnotherCertificate() {
    // The first certificate's key is protected and no password can be asked here: its first
    // job fails with the platform's text.
    TempDir dir;
    testing::WritePem(
        dir / "1-protected.pem",
        IssueUnder(store_.ca, NameParts{"Защищенный", "Защищенный", "Ключ", "", "", ""}, "0901"),
        {.keyPassword = std::string("secret")});
    testing::WritePem(
        dir / "2-open.pem",
        IssueUnder(store_.ca, NameParts{"Открытый", "Открытый", "Ключ", "", "", ""}, "0902"));
    TJobList jobs = ThreeJobs();
    TFSignFiles dialog(RealEnvironment(dir.path()), Sha256Options(), jobs);
    QVERIFY(dialog.Prepare(""));
    dialog.show();
    QCOMPARE(dialog.ComboBoxCerts()->currentText(), QString("Защищенный Ключ"));

    QVERIFY(!SignOnce(dialog));
    QVERIFY(dialog.isVisible());
    QVERIFY(!dialog.LabelError()->text().isEmpty());
    QCOMPARE(dialog.LabelError()->text().toStdString(), jobs[0].error);
    QVERIFY(jobs[0].sign.empty());
    for (std::size_t i = 1; i < jobs.size(); ++i)
        QVERIFY(jobs[i].sign.empty() && jobs[i].error.empty());

    dialog.ComboBoxCerts()->setCurrentIndex(1);
    QVERIFY(SignOnce(dialog));
    QCOMPARE(dialog.result(), 1);
    const testing::CommandResult check = VerifyJobs(jobs, store_.caFile);
    QVERIFY2(check.exitCode == 0, check.output.c_str());
}

void BatchDialogTest::anEmptyListWithoutAvestStaysOpen() {
    TJobList jobs;
    TFSignFiles dialog(RealEnvironment(store_.folder), Sha256Options(), jobs);
    QVERIFY(dialog.Prepare(""));
    dialog.show();
    QVERIFY(dialog.BtnSign()->isEnabled());
    QVERIFY(!SignOnce(dialog));
    QVERIFY(dialog.isVisible());
    QVERIFY(dialog.LabelError()->text().isEmpty());
    QVERIFY(dialog.BtnSign()->isEnabled());
}

void BatchDialogTest::anEmptyListWithAvestCloses() {
    ::setenv("KORVALO_AVEST_DIR", KORVALO_STANDIN_DIR, 1);
    ::setenv("KORVALO_CERT_STORE", store_.folder.c_str(), 1);
    SigningOptions options = Sha256Options();
    options.avCrypt = true;
    TJobList jobs;
    TFSignFiles dialog(RealEnvironment(store_.folder), options, jobs);
    QVERIFY(dialog.Prepare("0A0B 0C0D"));
    dialog.show();
    QVERIFY(SignOnce(dialog));
    QCOMPARE(dialog.result(), 1);
    QVERIFY(jobs.empty());
}

void BatchDialogTest::avestSignaturesVerify() {
    ::setenv("KORVALO_AVEST_DIR", KORVALO_STANDIN_DIR, 1);
    ::setenv("KORVALO_CERT_STORE", store_.folder.c_str(), 1);
    SigningOptions options = Sha256Options();
    options.avCrypt = true;
    TJobList jobs = ThreeJobs();
    TFSignFiles dialog(RealEnvironment(store_.folder), options, jobs);
    QVERIFY(dialog.Prepare("01"));
    dialog.show();
    QVERIFY(SignOnce(dialog));
    QCOMPARE(dialog.result(), 1);
    const testing::CommandResult check = VerifyJobs(jobs, store_.caFile);
    QVERIFY2(check.exitCode == 0, check.output.c_str());
}

void BatchDialogTest::aLongRunShowsItsProgressInTheErrorLinesPlace_data() {
    QTest::addColumn<int>("unit");
    QTest::addColumn<qulonglong>("total");
    QTest::addColumn<QString>("first");
    QTest::addColumn<QString>("later");
    QTest::newRow("documents") << int(SigningProgress::Unit::Documents) << qulonglong(5000)
                               << QString("Подписано документов: 1234 из 5000")
                               << QString("Подписано документов: 2500 из 5000");
    // A file of several GiB: the share read.
    QTest::newRow("file") << int(SigningProgress::Unit::Bytes) << qulonglong(5000ull << 20)
                          << QString("Прочитано 0% файла") << QString("Прочитано 50% файла");
    // An engine that cannot tell (the ID card, the Avest library): a busy bar.
    QTest::newRow("unknown") << int(SigningProgress::Unit::None) << qulonglong(0) << QString()
                             << QString();
}

// After half a second of work a progress bar takes the error line's place and follows the
// engine several times a second; it goes when the engine ends, and the line shows the outcome.
void BatchDialogTest::aLongRunShowsItsProgressInTheErrorLinesPlace() {
    QFETCH(int, unit);
    QFETCH(qulonglong, total);
    QFETCH(QString, first);
    QFETCH(QString, later);
    RecordingLog log;
    EngineScript script;
    SigningEnvironment environment(log);
    environment.storeLocation = store_.folder;
    environment.engines = script.Factory(log);
    EngineStep slow;
    slow.block = true;
    slow.ok = false;
    slow.message = "Cертификат не найден.";
    if (unit != int(SigningProgress::Unit::None))
        slow.progress = SigningProgress::Snapshot{SigningProgress::Unit(unit), 1234, total};
    script.Add(slow);
    TJobList jobs = ThreeJobs();
    TFSignFiles dialog(environment, Sha256Options(), jobs);
    QVERIFY(dialog.Prepare(""));
    dialog.show();
    dialog.LabelError()->setText("прежняя ошибка");
    QSignalSpy finished(&dialog, &SigningDialog::signAttemptFinished);
    QElapsedTimer clock;
    clock.start();
    dialog.BtnSign()->click();
    QProgressBar* bar = dialog.ProgressBar();
    QVERIFY(bar->isHidden());
    QTRY_VERIFY_WITH_TIMEOUT(bar->isVisible(), 5000);
    QVERIFY(clock.elapsed() >= SigningDialog::kProgressDelayMs);
    QVERIFY(dialog.LabelError()->text().isEmpty());
    QVERIFY(dialog.LabelError()->rect().contains(bar->geometry()));
    if (first.isEmpty()) {
        QCOMPARE(bar->minimum(), 0);
        QCOMPARE(bar->maximum(), 0);
    } else {
        QCOMPARE(bar->text(), first);
        auto* progress = const_cast<SigningProgress*>(dialog.LastEngine()->Progress());
        progress->Set(unit == int(SigningProgress::Unit::Documents) ? 2500 : total / 2);
        QTRY_COMPARE_WITH_TIMEOUT(bar->text(), later, 1000);
    }
    script.Release();
    QVERIFY(finished.wait(10000));
    QVERIFY(bar->isHidden());
    QCOMPARE(dialog.LabelError()->text(), QString("Cертификат не найден."));
}

QTEST_MAIN(BatchDialogTest)
#include "fsignjson_test.moc"
