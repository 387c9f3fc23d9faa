#pragma once
// The batch signing dialog "Подпись документов" (TFSignFiles) and ShowSignFilesDialog.

#include <memory>
#include <string>

#include "core/record_sign.h"
#include "ui/dialogs/certinfo.h"
#include "ui/dialogs/signing_dialog.h"

class QComboBox;
class QPushButton;
class QWidget;

namespace korvalo {

class HtmlView;

// The certificate panel with the error line below the list, and the buttons "Подписать" and
// "Закрыть" at the lower right. Sign signs every job of the list with TSign in batch mode and
// the selected certificate; the results go into the job records.
class TFSignFiles : public SigningDialog {
    Q_OBJECT

public:
    // jobs (FAListSign) is not owned and must outlive the dialog.
    TFSignFiles(const DialogEnvironment& environment, const SigningOptions& options, TJobList& jobs,
                QWidget* parent = nullptr);
    ~TFSignFiles() override;

    // Fills the list with preselect preselected. False when the store cannot be opened.
    [[nodiscard]] bool Prepare(const std::string& preselect);

    QWidget* Panel1() const { return panel1_; }
    QWidget* PanelCerts() const { return panelCerts_; }
    HtmlView* HtmlViewer1() const { return htmlViewer1_; }
    QComboBox* ComboBoxCerts() const { return comboBoxCerts_; }
    QPushButton* BtnSign() const { return btnSign_; }
    QPushButton* BtnClose() const { return btnClose_; }
    const CertPanel& Certs() const { return *certs_; }

public slots:
    void BtnSignClick();
    void ComboBoxCertsChange();

protected:
    void UpdateControls() override;

private:
    TJobList& FAListSign;

    QWidget* panel1_;
    QWidget* panelCerts_;
    HtmlView* htmlViewer1_;
    QComboBox* comboBoxCerts_;
    QPushButton* btnSign_;
    QPushButton* btnClose_;
    std::unique_ptr<CertPanel> certs_;
};

// ShowSignFilesDialog: shows the batch dialog for jobs on the UI thread (from any thread,
// waiting until it closes) and returns its result: 1 every job signed, 8 "Закрыть", Escape or
// no certificate store (no window shown), 2 the close box. The engine writes each job's sign
// or error; no signature text is handed back.
[[nodiscard]] int ShowSignFilesDialog(const DialogEnvironment& environment,
                                      const SigningOptions& options, TJobList& jobs,
                                      const std::string& preselect);

}  // namespace korvalo
