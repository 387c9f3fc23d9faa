#pragma once
// The certificate panel of the signing dialogs: the list of the personal certificates that are
// valid now, their serial texts, and the details view of the selected one.

#include <QString>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/crypto/cert_store.h"

class QComboBox;
class QLocale;
class QTextBrowser;

namespace korvalo {

// The separators of a date and of a time as the user's regional settings write them.
struct DateTimeSeparators {
    QString date = QStringLiteral("/");
    QString time = QStringLiteral(":");

    // Taken from the locale's short date and time formats: the first character between two
    // fields that is not a letter or a quote; "/" and ":" when a format has none.
    static DateTimeSeparators FromLocale(const QLocale& locale);
    // FromLocale(QLocale::system()).
    static DateTimeSeparators System();
};

// The moment in local time as "YYYY/MM/DD HH:NN:SS" with the given separators.
QString FormatCertTime(std::chrono::system_clock::time_point moment,
                       const DateTimeSeparators& separators);

// What the list shows for a certificate: the subject's surname, a space and its name; the
// common name instead when that text is blank.
std::string CertDisplayText(const StoreCertificate& cert);

// The details fragment of a certificate: issuer, validity period, subject and representative,
// each line ended by "<br/>". Name parts are inserted as HTML text (escaped), so that what a
// certificate holds is shown as text and never as markup.
std::string GetCertInfoHtml(const StoreCertificate& cert,
                            const DateTimeSeparators& separators = DateTimeSeparators::System());

// The panel's state: the open store (certStore), the list (ComboBoxCerts), the serial texts
// index-aligned with it (serialArray) and the details view (HtmlViewer1). UI thread.
class CertPanel {
public:
    CertPanel(QComboBox* comboBoxCerts, QTextBrowser* htmlViewer1);
    ~CertPanel();
    CertPanel(const CertPanel&) = delete;
    CertPanel& operator=(const CertPanel&) = delete;

    // Opens the store at storeLocation with its tokens, lists its certificates that are valid
    // now in store order, selects the last one whose serial text equals preselect ignoring
    // letter case (the first when none does) and shows its details. False when the store
    // cannot be opened; nothing is listed then.
    [[nodiscard]] bool FillCertList(const std::filesystem::path& storeLocation,
                                    const std::string& preselect, const StoreTokens& tokens = {});

    // Shows the details of the first certificate of the store whose serial text equals the
    // selected item's; leaves the view as it is when nothing is selected or nothing matches.
    void ShowCertInfo();

    // The serial text of the selected item; empty when nothing is selected.
    std::string SelectedSerial() const;

    const std::vector<std::string>& serialArray() const { return serialArray_; }
    const CertStore* certStore() const { return certStore_.get(); }
    // Closes the store (the list stays as it is).
    void CloseStore() { certStore_.reset(); }

private:
    QComboBox* comboBoxCerts_;
    QTextBrowser* htmlViewer1_;
    std::unique_ptr<CertStore> certStore_;
    std::vector<std::string> serialArray_;
};

}  // namespace korvalo
