#include "ui/dialogs/fsignjson.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "ui/dialogs/dialog_parts.h"
#include "ui/dialogs/html_view.h"
#include "ui/toolkit/ui_thread.h"

namespace korvalo {

namespace {

constexpr int kWidth = 467;
constexpr int kHeight = 441;
constexpr int kPanelCertsHeight = 73;

}  // namespace

TFSignFiles::TFSignFiles(const DialogEnvironment& environment, const SigningOptions& options,
                         TJobList& jobs, QWidget* parent)
    : SigningDialog(environment, options, parent,
                    Qt::Dialog | Qt::WindowStaysOnTopHint | Qt::CustomizeWindowHint |
                        Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                        Qt::WindowMinMaxButtonsHint),
      FAListSign(jobs) {
    setObjectName(QStringLiteral("FSignFiles"));
    setWindowTitle(QStringLiteral("Подпись документов"));
    setSizeGripEnabled(false);

    panel1_ = new QWidget(this);
    panel1_->setObjectName(QStringLiteral("Panel1"));
    auto* top = new QVBoxLayout(panel1_);
    top->setContentsMargins(25, 8, 25, 4);
    top->setSpacing(4);
    top->addWidget(MakeLabel(panel1_, "LabelCertInfo", QStringLiteral("сведения сертификата")));
    htmlViewer1_ = MakeCertViewer(panel1_);
    htmlViewer1_->setFocusPolicy(Qt::StrongFocus);
    htmlViewer1_->setMinimumHeight(60);
    top->addWidget(htmlViewer1_, 1);
    top->addWidget(MakeLabel(panel1_, "LabelCertList", QStringLiteral("список сертификатов")));
    comboBoxCerts_ = MakeCertList(panel1_);
    top->addWidget(comboBoxCerts_);
    QLabel* labelError = MakeErrorLabel(panel1_);
    labelError->setMinimumHeight(44);
    top->addWidget(labelError);

    panelCerts_ = new QWidget(this);
    panelCerts_->setObjectName(QStringLiteral("PanelCerts"));
    panelCerts_->setFixedHeight(kPanelCertsHeight);
    auto* bottom = new QHBoxLayout(panelCerts_);
    bottom->setContentsMargins(25, 8, 25, 16);
    bottom->setSpacing(8);
    bottom->addStretch(1);
    btnSign_ = MakeButton(panelCerts_, "BtnSign", QStringLiteral("Подписать"));
    btnSign_->setFixedSize(90, 25);
    btnSign_->setEnabled(false);
    btnClose_ = MakeButton(panelCerts_, "BtnClose", QStringLiteral("Закрыть"));
    btnClose_->setFixedSize(90, 25);
    bottom->addWidget(btnSign_, 0, Qt::AlignBottom);
    bottom->addWidget(btnClose_, 0, Qt::AlignBottom);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(panel1_, 1);
    layout->addWidget(panelCerts_);
    setMinimumSize(320, 300);
    resize(kWidth, kHeight);
    move(0, 0);

    setTabOrder(htmlViewer1_, comboBoxCerts_);
    setTabOrder(comboBoxCerts_, btnSign_);
    setTabOrder(btnSign_, btnClose_);

    certs_ = std::make_unique<CertPanel>(comboBoxCerts_, htmlViewer1_);
    connect(btnSign_, &QPushButton::clicked, this, &TFSignFiles::BtnSignClick);
    connect(btnClose_, &QPushButton::clicked, this, &TFSignFiles::reject);
    connect(comboBoxCerts_, &QComboBox::currentIndexChanged, this,
            &TFSignFiles::ComboBoxCertsChange);
}

TFSignFiles::~TFSignFiles() {
    WaitForEngine();
}

bool TFSignFiles::Prepare(const std::string& preselect) {
    comboBoxCerts_->setFocus();
    LabelError()->clear();
    if (!FillCertificates(*certs_, preselect))
        return false;
    UpdateControls();
    return true;
}

void TFSignFiles::BtnSignClick() {
    if (Busy() || !btnSign_->isEnabled())
        return;
    const std::string serial = certs_->SelectedSerial();
    if (serial.empty())
        return;
    RunEngine(Engines().MakeBatchSigner(FAListSign, serial), false);
}

void TFSignFiles::ComboBoxCertsChange() {
    certs_->ShowCertInfo();
}

void TFSignFiles::UpdateControls() {
    btnSign_->setEnabled(!Busy() && !certs_->serialArray().empty());
    btnClose_->setEnabled(!Busy());
    comboBoxCerts_->setEnabled(!Busy());
}

int ShowSignFilesDialog(const DialogEnvironment& environment, const SigningOptions& options,
                        TJobList& jobs, const std::string& preselect) {
    const std::optional<int> result = UiThread::Call([&]() -> int {
        TFSignFiles dialog(environment, options, jobs);
        if (!dialog.Prepare(preselect))
            return kResultClosed;
        return ExecSigningDialog(dialog);
    });
    return result.value_or(kResultClosed);
}

}  // namespace korvalo
