#include "ui/dialogs/certinfo.h"

#include <QComboBox>
#include <QDateTime>
#include <QLocale>
#include <QSignalBlocker>
#include <QTextBrowser>
#include <exception>

#include "core/text.h"

namespace korvalo {

namespace {

// The first separator of a Qt date or time format: a character that is neither a field letter
// nor part of a quoted literal.
QString FirstSeparator(const QString& format, const QString& fallback) {
    bool quoted = false;
    for (const QChar ch : format) {
        if (ch == u'\'') {
            quoted = !quoted;
            continue;
        }
        if (quoted || ch.isLetter())
            continue;
        return QString(ch);
    }
    return fallback;
}

QString Escaped(const std::string& text) {
    return QString::fromStdString(text).toHtmlEscaped();
}

}  // namespace

DateTimeSeparators DateTimeSeparators::FromLocale(const QLocale& locale) {
    DateTimeSeparators separators;
    separators.date = FirstSeparator(locale.dateFormat(QLocale::ShortFormat), separators.date);
    separators.time = FirstSeparator(locale.timeFormat(QLocale::ShortFormat), separators.time);
    return separators;
}

DateTimeSeparators DateTimeSeparators::System() {
    return FromLocale(QLocale::system());
}

QString FormatCertTime(std::chrono::system_clock::time_point moment,
                       const DateTimeSeparators& separators) {
    const auto seconds =
        std::chrono::floor<std::chrono::seconds>(moment.time_since_epoch()).count();
    const QDateTime local = QDateTime::fromSecsSinceEpoch(seconds, Qt::LocalTime);
    const QDate date = local.date();
    const QTime time = local.time();
    auto two = [](int value) { return QStringLiteral("%1").arg(value, 2, 10, QLatin1Char('0')); };
    return QStringLiteral("%1").arg(date.year(), 4, 10, QLatin1Char('0')) + separators.date +
           two(date.month()) + separators.date + two(date.day()) + QLatin1Char(' ') +
           two(time.hour()) + separators.time + two(time.minute()) + separators.time +
           two(time.second());
}

std::string CertDisplayText(const StoreCertificate& cert) {
    std::string text = cert.SubjectPart(kOidSurname) + " " + cert.SubjectPart(kOidGivenName);
    if (Trim(text).empty())
        return cert.SubjectPart(kOidCommonName);
    return text;
}

std::string GetCertInfoHtml(const StoreCertificate& cert, const DateTimeSeparators& separators) {
    QString html;
    html += QStringLiteral("<b>Поставщик:</b><br/>");
    html +=
        QStringLiteral("CN: ") + Escaped(cert.IssuerPart(kOidCommonName)) + QStringLiteral("<br/>");
    html += QStringLiteral("O: ") + Escaped(cert.IssuerPart(kOidOrganization)) +
            QStringLiteral("<br/>");
    if (const std::string unit = cert.IssuerPart(kOidOrganizationalUnit); !unit.empty())
        html += QStringLiteral("OU: ") + Escaped(unit) + QStringLiteral("<br/>");
    html += QStringLiteral("<b>Действителен &nbsp;&nbsp;с</b>:  ") +
            FormatCertTime(cert.NotBefore(), separators) + QStringLiteral("<br/>");
    html += QStringLiteral("<b>Действителен по</b>: ") +
            FormatCertTime(cert.NotAfter(), separators) + QStringLiteral("<br/>");
    html += QStringLiteral("<b>Субъект:</b><br/>");
    html += QStringLiteral("CN: ") + Escaped(cert.SubjectPart(kOidCommonName)) +
            QStringLiteral("<br/>");
    html += QStringLiteral("O: ") + Escaped(cert.SubjectPart(kOidOrganization)) +
            QStringLiteral("<br/>");
    if (const std::string unit = cert.SubjectPart(kOidOrganizationalUnit); !unit.empty())
        html += QStringLiteral("OU: ") + Escaped(unit) + QStringLiteral("<br/>");
    const std::string representative =
        cert.SubjectPart(kOidSurname) + " " + cert.SubjectPart(kOidGivenName);
    if (!Trim(representative).empty())
        html +=
            QStringLiteral("Представитель: ") + Escaped(representative) + QStringLiteral("<br/>");
    return html.toStdString();
}

CertPanel::CertPanel(QComboBox* comboBoxCerts, QTextBrowser* htmlViewer1)
    : comboBoxCerts_(comboBoxCerts), htmlViewer1_(htmlViewer1) {}

CertPanel::~CertPanel() = default;

bool CertPanel::FillCertList(const std::filesystem::path& storeLocation,
                             const std::string& preselect, const StoreTokens& tokens) {
    try {
        certStore_ = CertStore::Open(storeLocation, tokens);
    } catch (const std::exception&) {
        certStore_.reset();
    }
    if (!certStore_)
        return false;

    // The list is built without reporting every intermediate selection; the dialog hears of
    // the final one through ShowCertInfo below and its own change handler afterwards.
    const QSignalBlocker blocker(comboBoxCerts_);
    comboBoxCerts_->clear();
    serialArray_.clear();
    int selected = -1;
    for (const StoreCertificate& cert : certStore_->Certificates()) {
        if (!cert.IsValidNow())
            continue;
        comboBoxCerts_->addItem(QString::fromStdString(CertDisplayText(cert)));
        serialArray_.push_back(cert.SerialText(true));
        if (EqualsNoCase(serialArray_.back(), preselect))
            selected = static_cast<int>(serialArray_.size()) - 1;
    }
    if (!serialArray_.empty()) {
        comboBoxCerts_->setCurrentIndex(selected < 0 ? 0 : selected);
        ShowCertInfo();
    }
    return true;
}

void CertPanel::ShowCertInfo() {
    if (!certStore_)
        return;
    const std::string serial = SelectedSerial();
    if (serial.empty())
        return;
    const StoreCertificate* cert = certStore_->FindFirstBySerialText(serial, true);
    if (cert == nullptr)
        return;
    htmlViewer1_->setHtml(QString::fromStdString(GetCertInfoHtml(*cert)));
}

std::string CertPanel::SelectedSerial() const {
    const int index = comboBoxCerts_->currentIndex();
    if (index < 0 || static_cast<std::size_t>(index) >= serialArray_.size())
        return {};
    return serialArray_[static_cast<std::size_t>(index)];
}

}  // namespace korvalo
