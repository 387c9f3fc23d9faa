#pragma once
// The message signing dialog "Подпись сообщения" (TFSignMsgDialog) and ShowSignMsgDialog.

#include <memory>
#include <string>

#include "ui/dialogs/certinfo.h"
#include "ui/dialogs/signing_dialog.h"

class QComboBox;
class QPushButton;
class QWidget;

namespace korvalo {

class HtmlView;
class MessageLoader;

// The message above the certificate panel, the error line and the buttons "Подписать" and
// "Закрыть". Sign signs the message file with TSign and the selected certificate, or with
// TSignIdCard when the request asks for the ID card.
class TFSignMsgDialog : public SigningDialog {
    Q_OBJECT

public:
    TFSignMsgDialog(const DialogEnvironment& environment, const SigningOptions& options,
                    QWidget* parent = nullptr);
    ~TFSignMsgDialog() override;

    // Gets the dialog ready for fileName: the message view is loaded when showMessage
    // (otherwise the caption becomes "Подпись" and the message panel is removed); for an
    // ID-card request the certificate panel is removed, otherwise the list is filled with the
    // request's certificateNum preselected. False when the store cannot be opened.
    [[nodiscard]] bool Prepare(const std::string& fileName, bool showMessage);

    // True once the message is shown (or failed to load, or is not shown). Sign waits for it,
    // so that nothing is signed before it could be seen.
    bool MessageReady() const { return messageReady_; }

    QWidget* PanelMsg() const { return panelMsg_; }
    QWidget* PanelCerts() const { return panelCerts_; }
    HtmlView* WebBrowserViewMsg() const { return webBrowserViewMsg_; }
    HtmlView* HtmlViewer1() const { return htmlViewer1_; }
    QComboBox* ComboBoxCerts() const { return comboBoxCerts_; }
    QPushButton* BtnSign() const { return btnSign_; }
    QPushButton* BtnClose() const { return btnClose_; }
    const CertPanel& Certs() const { return *certs_; }

public slots:
    void BtnSignClick();
    void ComboBoxCertsChange();

signals:
    void messageReady();

protected:
    void UpdateControls() override;

private:
    void MessageLoaded();

    std::string fileName_;
    bool messageReady_ = true;

    QWidget* panelMsg_;
    QWidget* panelCerts_;
    QWidget* panelError_;
    QWidget* panelBottom_;
    HtmlView* webBrowserViewMsg_;
    HtmlView* htmlViewer1_;
    QComboBox* comboBoxCerts_;
    QPushButton* btnSign_;
    QPushButton* btnClose_;
    std::unique_ptr<CertPanel> certs_;
    MessageLoader* loader_ = nullptr;
};

// ShowSignMsgDialog: shows the message dialog for the message file fileName on the UI thread
// (from any thread, waiting until it closes) and returns its result: 1 signed (signature then
// holds the signature text), 8 "Закрыть", Escape or no certificate store (no window shown),
// 2 the close box. signature is left as it was unless the result is 1.
[[nodiscard]] int ShowSignMsgDialog(const DialogEnvironment& environment,
                                    const SigningOptions& options, const std::string& fileName,
                                    std::string& signature, bool showMessage);

}  // namespace korvalo
