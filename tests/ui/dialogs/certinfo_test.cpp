// The certificate panel: listing, preselection, display texts, the details fragment with its
// dates and escaping; the closed HTML view and the reading of message files.

#include <QBuffer>
#include <QComboBox>
#include <QImage>
#include <QLocale>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextFragment>
#include <QtTest>
#include <cstdlib>
#include <ctime>

#include "core/text.h"
#include "support/qt/dialog_test_support.h"
#include "ui/dialogs/certinfo.h"
#include "ui/dialogs/html_view.h"

using namespace korvalo;
using namespace korvalo::dialogtest;
using namespace std::chrono;

namespace {

// A combo box and a details view with a panel over them.
struct PanelUnderTest {
    QComboBox combo;
    HtmlView viewer;
    CertPanel panel{&combo, &viewer};

    QStringList Items() const {
        QStringList items;
        for (int i = 0; i < combo.count(); ++i)
            items << combo.itemText(i);
        return items;
    }
};

std::unique_ptr<CertStore> OpenOne(const std::filesystem::path& folder) {
    return CertStore::Open(folder);
}

// The one certificate of a store folder that holds one file.
const StoreCertificate& OnlyCert(const std::unique_ptr<CertStore>& store) {
    if (!store || store->Certificates().size() != 1)
        throw std::runtime_error("expected one certificate in the store");
    return store->Certificates().front();
}

DateTimeSeparators Dots() {
    DateTimeSeparators separators;
    separators.date = QStringLiteral(".");
    separators.time = QStringLiteral(":");
    return separators;
}

// 2024-03-05 06:07:00 UTC and 2040-12-31 22:30:00 UTC; the tests run at UTC+3.
const Clock::time_point kNotBefore = sys_days{year{2024} / 3 / 5} + hours(6) + minutes(7);
const Clock::time_point kNotAfter = sys_days{year{2040} / 12 / 31} + hours(22) + minutes(30);

}  // namespace

class CertInfoTest : public QObject {
    Q_OBJECT

private slots:
    void displayText_data();
    void displayText();
    void listsOnlyValidCertificatesInStoreOrder();
    void preselection_data();
    void preselection();
    void theLastMatchIsSelectedAndDetailsComeFromTheFirst();
    void aStoreThatCannotBeOpenedListsNothing();
    void anEmptyListSelectsNothingAndLeavesTheView();
    void hundredsOfCertificates();
    void detailsFragmentIsExact();
    void namePartsAreEscaped();
    void emptyNamesLeaveOutOptionalLines();
    void separatorsComeFromTheLocale_data();
    void separatorsComeFromTheLocale();
    void theViewLoadsNothingFromOutsideTheText();
    void messageBytesAreDecoded_data();
    void messageBytesAreDecoded();
    void theMessageLoaderReportsWhatFailed();

private:
    FixtureStore store_;
};

void CertInfoTest::displayText_data() {
    QTest::addColumn<QString>("cn");
    QTest::addColumn<QString>("sn");
    QTest::addColumn<QString>("gn");
    QTest::addColumn<QString>("expected");
    QTest::newRow("surname and name") << "Иванов Иван"
                                      << "Иванов"
                                      << "Иван"
                                      << "Иванов Иван";
    QTest::newRow("no common name") << ""
                                    << "Иванов"
                                    << "Иван"
                                    << "Иванов Иван";
    QTest::newRow("surname only keeps the space") << "CN"
                                                  << "Иванов"
                                                  << ""
                                                  << "Иванов ";
    QTest::newRow("name only") << "CN"
                               << ""
                               << "Иван"
                               << " Иван";
    QTest::newRow("common name only") << "Сервер"
                                      << ""
                                      << ""
                                      << "Сервер";
    QTest::newRow("blank surname") << "Сервер"
                                   << " "
                                   << ""
                                   << "Сервер";
    QTest::newRow("nothing") << ""
                             << ""
                             << ""
                             << "";
}

void CertInfoTest::displayText() {
    QFETCH(QString, cn);
    QFETCH(QString, sn);
    QFETCH(QString, gn);
    QFETCH(QString, expected);
    TempDir dir;
    testing::WritePem(dir / "c.pem", IssueUnder(store_.ca,
                                                NameParts{cn.toStdString(), sn.toStdString(),
                                                          gn.toStdString(), "", "", ""},
                                                "11"));
    const auto store = OpenOne(dir.path());
    QCOMPARE(QString::fromStdString(CertDisplayText(OnlyCert(store))), expected);
}

void CertInfoTest::listsOnlyValidCertificatesInStoreOrder() {
    PanelUnderTest ui;
    QVERIFY(ui.panel.FillCertList(store_.folder, ""));
    QCOMPARE(ui.Items(), QStringList({"Петров Петр", "Иванов Иван", "Сервер Только CN"}));
    QCOMPARE(ui.panel.serialArray(), (std::vector<std::string>{"01", "0A0B 0C0D", "0200"}));
    QVERIFY(ui.panel.certStore() != nullptr);
    QVERIFY(!ui.combo.isEditable());
}

void CertInfoTest::preselection_data() {
    QTest::addColumn<QString>("preselect");
    QTest::addColumn<int>("expected");
    QTest::newRow("letter case ignored") << "0a0b 0c0d" << 1;
    QTest::newRow("exact") << "0A0B 0C0D" << 1;
    QTest::newRow("without the space: nothing, first") << "0A0B0C0D" << 0;
    QTest::newRow("empty: first") << "" << 0;
    QTest::newRow("last item") << "0200" << 2;
    QTest::newRow("expired: first") << "0E" << 0;
    QTest::newRow("not yet valid: first") << "0F" << 0;
}

void CertInfoTest::preselection() {
    QFETCH(QString, preselect);
    QFETCH(int, expected);
    PanelUnderTest ui;
    QVERIFY(ui.panel.FillCertList(store_.folder, preselect.toStdString()));
    QCOMPARE(ui.combo.count(), 3);  // the preselection never narrows the list
    QCOMPARE(ui.combo.currentIndex(), expected);
    QCOMPARE(ui.panel.SelectedSerial(), ui.panel.serialArray()[static_cast<std::size_t>(expected)]);
    // The details are those of the selected certificate.
    const QString subjectCn = ui.combo.currentText() == "Сервер Только CN"
                                  ? QStringLiteral("CN: Сервер Только CN")
                                  : QStringLiteral("CN: ") + ui.combo.currentText();
    QVERIFY2(ui.viewer.toPlainText().contains(subjectCn), qPrintable(ui.viewer.toPlainText()));
}

void CertInfoTest::theLastMatchIsSelectedAndDetailsComeFromTheFirst() {
    TempDir dir;
    CertRecipe caRecipe;
    caRecipe.subject = NameParts{"Другой УЦ", "", "", "Другая организация", "", "RU"};
    caRecipe.serialHex = "0CA2";
    const TestCert otherCa = testing::MakeCa(caRecipe);
    testing::WritePem(
        dir / "1.pem",
        IssueUnder(store_.ca, NameParts{"Первый", "Первый", "А", "", "", ""}, "0A0B"));
    testing::WritePem(
        dir / "2.pem",
        IssueUnder(store_.ca, NameParts{"Средний", "Средний", "Б", "", "", ""}, "05"));
    testing::WritePem(dir / "3.pem",
                      IssueUnder(otherCa, NameParts{"Второй", "Второй", "В", "", "", ""}, "0A0B"));
    PanelUnderTest ui;
    QVERIFY(ui.panel.FillCertList(dir.path(), "0a0b"));
    QCOMPARE(ui.Items(), QStringList({"Первый А", "Средний Б", "Второй В"}));
    QCOMPARE(ui.combo.currentIndex(), 2);
    // Both carry the same serial text: the details are those of the first in store order.
    const QString details = ui.viewer.toPlainText();
    QVERIFY2(details.contains("CN: Тестовый УЦ"), qPrintable(details));
    QVERIFY2(details.contains("Представитель: Первый А"), qPrintable(details));
}

void CertInfoTest::aStoreThatCannotBeOpenedListsNothing() {
    PanelUnderTest ui;
    ui.viewer.setHtml("before");
    QVERIFY(!ui.panel.FillCertList(store_.unusable, "01"));
    QCOMPARE(ui.combo.count(), 0);
    QVERIFY(ui.panel.serialArray().empty());
    QVERIFY(ui.panel.certStore() == nullptr);
    QCOMPARE(ui.viewer.toPlainText(), QString("before"));
}

void CertInfoTest::anEmptyListSelectsNothingAndLeavesTheView() {
    TempDir dir;
    testing::WritePem(dir / "old.pem",
                      IssueUnder(store_.ca, NameParts{"Старый", "", "", "", "", ""}, "0E",
                                 Clock::now() - hours(48), Clock::now() - hours(24)));
    PanelUnderTest ui;
    ui.viewer.setHtml("before");
    QVERIFY(ui.panel.FillCertList(dir.path(), ""));
    QCOMPARE(ui.combo.count(), 0);
    QCOMPARE(ui.combo.currentIndex(), -1);
    QCOMPARE(ui.panel.SelectedSerial(), std::string());
    ui.panel.ShowCertInfo();
    QCOMPARE(ui.viewer.toPlainText(), QString("before"));
}

void CertInfoTest::hundredsOfCertificates() {
    TempDir dir;
    for (int i = 0; i < 300; ++i) {
        char serial[16];
        std::snprintf(serial, sizeof serial, "%04X", 0x1000 + i);
        char name[32];
        std::snprintf(name, sizeof name, "%03d", i);
        testing::WritePem(
            dir / (std::string(name) + ".pem"),
            IssueUnder(store_.ca, NameParts{"", "Фамилия", name, "", "", ""}, serial));
    }
    PanelUnderTest ui;
    QVERIFY(ui.panel.FillCertList(dir.path(), "112b"));
    QCOMPARE(ui.combo.count(), 300);
    QCOMPARE(ui.panel.serialArray().size(), std::size_t{300});
    QCOMPARE(ui.combo.currentIndex(), 299);
    QCOMPARE(ui.combo.currentText(), QString("Фамилия 299"));
    QCOMPARE(ui.panel.serialArray()[0], std::string("1000"));
    ui.combo.setCurrentIndex(7);
    ui.panel.ShowCertInfo();
    QVERIFY(ui.viewer.toPlainText().contains("Представитель: Фамилия 007"));
}

void CertInfoTest::detailsFragmentIsExact() {
    TempDir dir;
    testing::WritePem(dir / "c.pem", IssueUnder(store_.ca,
                                                NameParts{"Иванов Иван", "Иванов", "Иван",
                                                          "ООО Ромашка", "Бухгалтерия", "RU"},
                                                "0A0B0C0D", kNotBefore, kNotAfter));
    const auto store = OpenOne(dir.path());
    const std::string expected =
        "<b>Поставщик:</b><br/>"
        "CN: Тестовый УЦ<br/>"
        "O: ООО Тест<br/>"
        "<b>Действителен &nbsp;&nbsp;с</b>:  2024.03.05 09:07:00<br/>"
        "<b>Действителен по</b>: 2041.01.01 01:30:00<br/>"
        "<b>Субъект:</b><br/>"
        "CN: Иванов Иван<br/>"
        "O: ООО Ромашка<br/>"
        "OU: Бухгалтерия<br/>"
        "Представитель: Иванов Иван<br/>";
    QCOMPARE(QString::fromStdString(GetCertInfoHtml(OnlyCert(store), Dots())),
             QString::fromStdString(expected));
    // "/" and ":" of other settings.
    DateTimeSeparators slashes;
    QVERIFY(QString::fromStdString(GetCertInfoHtml(OnlyCert(store), slashes))
                .contains("с</b>:  2024/03/05 09:07:00<br/>"));

    // The view renders the bold labels, the line breaks and the non-breaking spaces.
    HtmlView view;
    view.setHtml(QString::fromStdString(expected));
    const QString plain = view.toPlainText();
    QVERIFY2(plain.startsWith(QStringLiteral("Поставщик:\nCN: Тестовый УЦ\nO: ООО Тест\n")),
             qPrintable(plain));
    // Non-breaking spaces stay (HTML folds the two plain spaces after the colon into one).
    const QString raw = view.document()->toRawText();
    QVERIFY2(raw.contains(QStringLiteral("Действителен \u00A0\u00A0с: 2024.03.05 09:07:00")),
             qPrintable(raw));
    const QTextBlock first = view.document()->begin();
    QVERIFY(first.begin().fragment().charFormat().fontWeight() >= QFont::Bold);
}

void CertInfoTest::namePartsAreEscaped() {
    TempDir dir;
    CertRecipe caRecipe;
    caRecipe.subject = NameParts{"УЦ <i>x</i>", "", "", "A&B <br/>CN: Подделка", "", "RU"};
    caRecipe.serialHex = "0CA3";
    const TestCert ca = testing::MakeCa(caRecipe);
    testing::WritePem(
        dir / "c.pem",
        IssueUnder(ca, NameParts{"Петров", "Петров&", "<Петр>", "<b>Рога</b> & Копыта", "", ""},
                   "21", kNotBefore, kNotAfter));
    const auto store = OpenOne(dir.path());
    const QString html = QString::fromStdString(GetCertInfoHtml(OnlyCert(store), Dots()));
    QVERIFY2(html.contains("CN: УЦ &lt;i&gt;x&lt;/i&gt;<br/>"), qPrintable(html));
    QVERIFY2(html.contains("O: A&amp;B &lt;br/&gt;CN: Подделка<br/>"), qPrintable(html));
    QVERIFY2(html.contains("O: &lt;b&gt;Рога&lt;/b&gt; &amp; Копыта<br/>"), qPrintable(html));
    QVERIFY2(html.contains("Представитель: Петров&amp; &lt;Петр&gt;<br/>"), qPrintable(html));
    // The fixed markup stays markup.
    QVERIFY(html.startsWith("<b>Поставщик:</b><br/>"));

    HtmlView view;
    view.setHtml(html);
    const QStringList lines = view.toPlainText().split('\n');
    QVERIFY2(lines.contains("O: <b>Рога</b> & Копыта"), qPrintable(view.toPlainText()));
    QVERIFY2(lines.contains("O: A&B <br/>CN: Подделка"), qPrintable(view.toPlainText()));
    QCOMPARE(lines.filter(QRegularExpression("^CN: ")).size(), 2);
    // The list shows the names as they are.
    PanelUnderTest ui;
    QVERIFY(ui.panel.FillCertList(dir.path(), ""));
    QCOMPARE(ui.combo.itemText(0), QString("Петров& <Петр>"));
}

void CertInfoTest::emptyNamesLeaveOutOptionalLines() {
    TempDir dir;
    testing::WritePem(dir / "c.pem", IssueUnder(store_.ca, NameParts{"", "", "", "", "", ""}, "22",
                                                kNotBefore, kNotAfter));
    const auto store = OpenOne(dir.path());
    const std::string html = GetCertInfoHtml(OnlyCert(store), Dots());
    QCOMPARE(QString::fromStdString(html),
             QString::fromStdString("<b>Поставщик:</b><br/>CN: Тестовый УЦ<br/>O: ООО Тест<br/>"
                                    "<b>Действителен &nbsp;&nbsp;с</b>:  2024.03.05 09:07:00<br/>"
                                    "<b>Действителен по</b>: 2041.01.01 01:30:00<br/>"
                                    "<b>Субъект:</b><br/>CN: <br/>O: <br/>"));
    PanelUnderTest ui;
    QVERIFY(ui.panel.FillCertList(dir.path(), ""));
    QCOMPARE(ui.combo.count(), 1);
    QCOMPARE(ui.combo.itemText(0), QString());
    QCOMPARE(ui.panel.SelectedSerial(), std::string("22"));
}

void CertInfoTest::separatorsComeFromTheLocale_data() {
    QTest::addColumn<QString>("locale");
    QTest::addColumn<QString>("date");
    QTest::addColumn<QString>("time");
    QTest::newRow("de_DE") << "de_DE"
                           << "."
                           << ":";
    QTest::newRow("ru_RU") << "ru_RU"
                           << "."
                           << ":";
    QTest::newRow("en_US") << "en_US"
                           << "/"
                           << ":";
    QTest::newRow("sv_SE") << "sv_SE"
                           << "-"
                           << ":";
    QTest::newRow("fi_FI") << "fi_FI"
                           << "."
                           << ".";
}

void CertInfoTest::separatorsComeFromTheLocale() {
    QFETCH(QString, locale);
    QFETCH(QString, date);
    QFETCH(QString, time);
    const DateTimeSeparators separators = DateTimeSeparators::FromLocale(QLocale(locale));
    QCOMPARE(separators.date, date);
    QCOMPARE(separators.time, time);
    QCOMPARE(FormatCertTime(kNotBefore, separators),
             "2024" + date + "03" + date + "05 09" + time + "07" + time + "00");
}

void CertInfoTest::theViewLoadsNothingFromOutsideTheText() {
    TempDir dir;
    QImage picture(37, 23, QImage::Format_RGB32);
    picture.fill(Qt::blue);
    QVERIFY(picture.save(QString::fromStdString((dir / "p.png").string())));
    testing::WriteBytes(dir / "s.css", "p { color: #ff0000; }");
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    picture.save(&buffer, "PNG");
    const QString fileUrl =
        QUrl::fromLocalFile(QString::fromStdString(dir.path().string())).toString();
    const QString dataUrl = "data:image/png;base64," + QString::fromLatin1(png.toBase64());

    HtmlView view;
    view.document()->setBaseUrl(QUrl(fileUrl + "/"));
    view.setHtml("<html><head><link rel=\"stylesheet\" href=\"" + fileUrl +
                 "/s.css\"><script>document.write('x')</script></head><body>"
                 "<p>текст</p><img src=\"" +
                 fileUrl +
                 "/p.png\"><img src=\"p.png\">"
                 "<img src=\"" +
                 dataUrl + "\"></body></html>");
    QTextDocument* doc = view.document();
    for (const QString& name :
         {fileUrl + "/p.png", QString("p.png"),
          QString(":/qt-project.org/styles/commonstyle/images/file-16.png"),
          QString("qrc:/qt-project.org/styles/commonstyle/images/file-16.png"),
          QString("http://127.0.0.1:9/p.png")}) {
        const QVariant resource = doc->resource(QTextDocument::ImageResource, QUrl(name));
        QVERIFY2(resource.value<QImage>().isNull(), qPrintable(name));
    }
    const QImage embedded =
        doc->resource(QTextDocument::ImageResource, QUrl(dataUrl)).value<QImage>();
    QCOMPARE(embedded.size(), QSize(37, 23));
    // The style sheet file was not applied, and the script's text is not shown.
    const QTextBlock block = doc->begin();
    QVERIFY2(block.text().startsWith(QStringLiteral("текст")), qPrintable(block.text()));
    QVERIFY(block.begin().fragment().charFormat().foreground().color() != QColor(Qt::red));
    QVERIFY(!view.toPlainText().contains("document.write"));
    // Links are not followed.
    QVERIFY(!view.openLinks());
    QVERIFY(!view.openExternalLinks());
    view.setSource(QUrl(fileUrl + "/s.css"));
    QCOMPARE(view.toPlainText().contains("color"), false);
}

void CertInfoTest::messageBytesAreDecoded_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("expected");
    const QByteArray cp = QByteArray::fromStdString(ToCp1251("<p>Привет</p>"));
    QTest::newRow("code page 1251") << cp << "<p>Привет</p>";
    QTest::newRow("declared utf-8 but 1251 bytes")
        << QByteArray::fromStdString(ToCp1251("<meta charset=\"utf-8\"><p>Привет</p>"))
        << "<meta charset=\"utf-8\"><p>Привет</p>";
    QTest::newRow("declared and valid utf-8")
        << QByteArray(
               "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=UTF-8\">"
               "\xD0\x9F\xD1\x80\xD0\xB8")
        << "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=UTF-8\">При";
    QTest::newRow("byte-order mark") << QByteArray("\xEF\xBB\xBF\xD0\x9F") << "П";
    QTest::newRow("utf-8 without declaration is 1251")
        << QByteArray("\xD0\x9F") << QString::fromStdString(FromCp1251("\xD0\x9F"));
    QTest::newRow("declared koi8-r is read as 1251")
        << QByteArray::fromStdString(ToCp1251("<meta charset=koi8-r>Да"))
        << "<meta charset=koi8-r>Да";
    QTest::newRow("empty") << QByteArray() << "";
}

void CertInfoTest::messageBytesAreDecoded() {
    QFETCH(QByteArray, bytes);
    QFETCH(QString, expected);
    QCOMPARE(DecodeMessageBytes(bytes.toStdString()), expected);
}

void CertInfoTest::theMessageLoaderReportsWhatFailed() {
    TempDir dir;
    MessageLoader missing;
    QSignalSpy missingDone(&missing, &MessageLoader::finished);
    missing.Start(dir / "absent.htm", QFont());
    QVERIFY(missingDone.wait(10000));
    QVERIFY(missing.TakeDocument() == nullptr);
    QCOMPARE(missing.Failure(),
             QString::fromStdString("Не удалось открыть файл сообщения " +
                                    (dir / "absent.htm").string() + ": файл не найден"));

    testing::WriteBytes(dir / "m.htm", ToCp1251("<p>Подпишите <b>это</b></p>"));
    MessageLoader loader;
    QSignalSpy done(&loader, &MessageLoader::finished);
    loader.Start(dir / "m.htm", QFont());
    QVERIFY(done.wait(10000));
    std::unique_ptr<QTextDocument> document = loader.TakeDocument();
    QVERIFY(document != nullptr);
    QCOMPARE(document->thread(), QThread::currentThread());
    QCOMPARE(document->toPlainText(), QStringLiteral("Подпишите это"));
    QVERIFY(loader.Failure().isEmpty());
}

int main(int argc, char** argv) {
    // Local time three hours ahead of UTC, without summer time.
    ::setenv("TZ", "KRV-3", 1);
    ::tzset();
    QApplication app(argc, argv);
    CertInfoTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "certinfo_test.moc"
