#pragma once
// The file signing dialog "Выбор и подпись файла" (TSignFileDialog) and ShowSignFileDialog.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "ui/dialogs/certinfo.h"
#include "ui/dialogs/signing_dialog.h"

class QComboBox;
class QLineEdit;
class QPushButton;
class QWidget;

namespace korvalo {

class HtmlView;

// What the size check found for a file: its size, or that it cannot be opened.
struct FileSizeQuery {
    bool opened = false;
    std::uint64_t size = 0;  // the whole size, all 64 bits
};
// Opens path (following links) only to read its size.
FileSizeQuery QueryFileSize(const std::string& path);

// The size check before signing: empty when a file of that size may be signed under
// maxFileUpload (0 no limit, negative refuses every file), else the refusal text
// "Размер файла (N) превышает допустимый (M).".
std::string FileSizeRefusal(std::uint64_t size, int maxFileUpload);

// The path row (the field EdFile with the button "..."), the certificate panel, the error line
// and the buttons "Подписать" and "Закрыть". The user chooses a file, then signs it with TSign
// and the selected certificate, or with TSignIdCard when the request asks for the ID card.
class TSignFileDialog : public SigningDialog {
    Q_OBJECT

public:
    TSignFileDialog(const DialogEnvironment& environment, const SigningOptions& options,
                    QWidget* parent = nullptr);
    ~TSignFileDialog() override;

    // Gets the dialog ready: the certificate panel is removed for an ID-card request,
    // otherwise the list is filled with the request's certificateNum preselected. False when
    // the store cannot be opened.
    [[nodiscard]] bool Prepare();

    // The chosen path (EdFile).
    std::string FileName() const;

    QWidget* Panel3() const { return panel3_; }
    QWidget* PanelCerts() const { return panelCerts_; }
    QWidget* PanelError() const { return panelError_; }
    QWidget* Panel1() const { return panel1_; }
    QLineEdit* EdFile() const { return edFile_; }
    QPushButton* BtnSelectFile() const { return btnSelectFile_; }
    HtmlView* HtmlViewer1() const { return htmlViewer1_; }
    QComboBox* ComboBoxCerts() const { return comboBoxCerts_; }
    QPushButton* BtnSign() const { return btnSign_; }
    QPushButton* Button1() const { return button1_; }
    const CertPanel& Certs() const { return *certs_; }

public slots:
    void BtnSelectFileClick();
    void ChangeSelect();
    void BtnSignClick();

protected:
    void UpdateControls() override;

private:
    bool FileChosen() const;
    // The size check's message box ("Ошибка", error icon), owned by the dialog.
    void ShowError(const QString& text);

    QWidget* panel3_;
    QWidget* panelCerts_;
    QWidget* panelError_;
    QWidget* panel1_;
    QLineEdit* edFile_;
    QPushButton* btnSelectFile_;
    HtmlView* htmlViewer1_;
    QComboBox* comboBoxCerts_;
    QPushButton* btnSign_;
    QPushButton* button1_;
    std::unique_ptr<CertPanel> certs_;
};

// ShowSignFileDialog: shows the file dialog on the UI thread (from any thread, waiting until
// it closes) and returns its result: 1 signed (fileName then holds the chosen file's path,
// signature the signature text and signedContent what the engine signed, when it tells), 8
// "Закрыть", Escape or no certificate store (no window shown), 2 the close box. mode is the
// file-choice mode; the dispatcher always passes 2.
[[nodiscard]] int ShowSignFileDialog(const DialogEnvironment& environment,
                                     const SigningOptions& options, std::string& fileName,
                                     std::string& signature, int mode,
                                     std::optional<ContentFingerprint>& signedContent);

}  // namespace korvalo
