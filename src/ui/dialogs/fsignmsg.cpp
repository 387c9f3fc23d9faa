#include "ui/dialogs/fsignmsg.h"

#include <QComboBox>
#include <QLabel>
#include <QPalette>
#include <QPushButton>

#include "ui/dialogs/dialog_parts.h"
#include "ui/dialogs/html_view.h"
#include "ui/toolkit/ui_thread.h"

namespace korvalo {

namespace {

constexpr int kWidth = 439;
constexpr int kPanelMsgHeight = 198;
constexpr int kPanelCertsHeight = 314;
constexpr int kPanelErrorHeight = 50;
constexpr int kPanelBottomHeight = 56;

QFont MessageFont() {
    QFont font(QStringLiteral("Times New Roman"));
    font.setPointSize(10);
    return font;
}

}  // namespace

TFSignMsgDialog::TFSignMsgDialog(const DialogEnvironment& environment,
                                 const SigningOptions& options, QWidget* parent)
    : SigningDialog(environment, options, parent, kFixedSigningDialogFlags) {
    setObjectName(QStringLiteral("FSignMsgDialog"));
    setWindowTitle(QStringLiteral("Подпись сообщения"));

    panelMsg_ = MakePanel(this, "PanelMsg", kWidth, kPanelMsgHeight);
    MakeLabel(panelMsg_, "LabelMsg", QStringLiteral("текст сообщения"))
        ->setGeometry(25, 6, 389, 16);
    webBrowserViewMsg_ = new HtmlView(panelMsg_);
    webBrowserViewMsg_->setObjectName(QStringLiteral("WebBrowserViewMsg"));
    webBrowserViewMsg_->setGeometry(25, 26, 389, 158);
    webBrowserViewMsg_->setFrameShape(QFrame::Box);
    webBrowserViewMsg_->setLineWidth(1);
    QPalette white = webBrowserViewMsg_->palette();
    white.setColor(QPalette::Base, Qt::white);
    webBrowserViewMsg_->setPalette(white);
    webBrowserViewMsg_->document()->setDefaultFont(MessageFont());

    panelCerts_ = MakePanel(this, "PanelCerts", kWidth, kPanelCertsHeight);
    MakeLabel(panelCerts_, "LabelCertInfo", QStringLiteral("сведения сертификата"))
        ->setGeometry(25, 4, 389, 16);
    htmlViewer1_ = MakeCertViewer(panelCerts_);
    htmlViewer1_->setGeometry(25, 22, 389, 219);
    MakeLabel(panelCerts_, "LabelCertList", QStringLiteral("список сертификатов"))
        ->setGeometry(25, 250, 389, 16);
    comboBoxCerts_ = MakeCertList(panelCerts_);
    comboBoxCerts_->setGeometry(25, 268, 389, 24);

    panelError_ = MakePanel(this, "PanelError", kWidth, kPanelErrorHeight);
    MakeErrorLabel(panelError_)->setGeometry(25, 6, 389, 35);

    panelBottom_ = MakePanel(this, "PanelBottom", kWidth, kPanelBottomHeight);
    MakeBevel(panelBottom_, kWidth);
    btnSign_ = MakeButton(panelBottom_, "BtnSign", QStringLiteral("Подписать"));
    btnSign_->setGeometry(228, 16, 90, 25);
    btnSign_->setEnabled(false);
    btnClose_ = MakeButton(panelBottom_, "BtnClose", QStringLiteral("Закрыть"));
    btnClose_->setGeometry(324, 16, 90, 25);

    StackPanels({panelMsg_, panelCerts_, panelError_, panelBottom_});

    setTabOrder(comboBoxCerts_, btnSign_);
    setTabOrder(btnSign_, btnClose_);

    certs_ = std::make_unique<CertPanel>(comboBoxCerts_, htmlViewer1_);
    connect(btnSign_, &QPushButton::clicked, this, &TFSignMsgDialog::BtnSignClick);
    connect(btnClose_, &QPushButton::clicked, this, &TFSignMsgDialog::reject);
    connect(comboBoxCerts_, &QComboBox::currentIndexChanged, this,
            &TFSignMsgDialog::ComboBoxCertsChange);
}

TFSignMsgDialog::~TFSignMsgDialog() {
    WaitForEngine();
}

bool TFSignMsgDialog::Prepare(const std::string& fileName, bool showMessage) {
    comboBoxCerts_->setFocus();
    fileName_ = fileName;
    LabelError()->clear();
    if (showMessage) {
        messageReady_ = false;
        loader_ = new MessageLoader(this);
        connect(loader_, &MessageLoader::finished, this, &TFSignMsgDialog::MessageLoaded);
        loader_->Start(fileName_, webBrowserViewMsg_->document()->defaultFont());
    } else {
        setWindowTitle(QStringLiteral("Подпись"));
        RemovePanel(panelMsg_);
    }
    if (Options().useIdCard != 0) {
        RemovePanel(panelCerts_);
    } else if (!FillCertificates(*certs_, Options().certificateNum)) {
        return false;
    }
    UpdateControls();
    return true;
}

void TFSignMsgDialog::BtnSignClick() {
    if (Busy() || !btnSign_->isEnabled())
        return;
    SignFile(fileName_, *certs_);
}

void TFSignMsgDialog::ComboBoxCertsChange() {
    certs_->ShowCertInfo();
}

void TFSignMsgDialog::UpdateControls() {
    const bool haveCertificate = Options().useIdCard != 0 || !certs_->serialArray().empty();
    btnSign_->setEnabled(!Busy() && messageReady_ && haveCertificate);
    btnClose_->setEnabled(!Busy());
    comboBoxCerts_->setEnabled(!Busy());
}

void TFSignMsgDialog::MessageLoaded() {
    if (std::unique_ptr<QTextDocument> document = loader_->TakeDocument()) {
        webBrowserViewMsg_->ShowDocument(std::move(document));
    } else {
        // The view stays empty; signing still works on the file.
        Environment().log->PrintInfo(loader_->Failure().toStdString());
    }
    messageReady_ = true;
    UpdateControls();
    emit messageReady();
}

int ShowSignMsgDialog(const DialogEnvironment& environment, const SigningOptions& options,
                      const std::string& fileName, std::string& signature, bool showMessage) {
    const std::optional<int> result = UiThread::Call([&]() -> int {
        TFSignMsgDialog dialog(environment, options);
        if (!dialog.Prepare(fileName, showMessage))
            return kResultClosed;
        const int code = ExecSigningDialog(dialog);
        if (code == kResultSigned)
            signature = dialog.Signature();
        return code;
    });
    return result.value_or(kResultClosed);
}

}  // namespace korvalo
