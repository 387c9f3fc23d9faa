#include "ui/dialogs/fsign.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>

#include "core/unique_fd.h"
#include "ui/dialogs/dialog_parts.h"
#include "ui/dialogs/html_view.h"
#include "ui/toolkit/ui_thread.h"

namespace korvalo {

namespace {

constexpr int kWidth = 432;
constexpr int kPanel3Height = 68;
constexpr int kPanelCertsHeight = 316;
constexpr int kPanelErrorHeight = 53;
constexpr int kPanel1Height = 52;

std::string LocalPath(const QString& text) {
    return QFile::encodeName(text).toStdString();
}

}  // namespace

FileSizeQuery QueryFileSize(const std::string& path) {
    FileSizeQuery query;
    if (path.empty())
        return query;
    // O_NONBLOCK: a named pipe must not hold the dialog up; only the size is read.
    const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (!fd.ok())
        return query;
    struct stat info {};
    if (::fstat(fd.get(), &info) == 0 && !S_ISDIR(info.st_mode)) {
        query.opened = true;
        query.size = info.st_size > 0 ? static_cast<std::uint64_t>(info.st_size) : 0;
    }
    return query;
}

std::string FileSizeRefusal(std::uint64_t size, int maxFileUpload) {
    if (maxFileUpload == 0)
        return {};
    if (maxFileUpload > 0 && size <= static_cast<std::uint64_t>(maxFileUpload))
        return {};
    return "Размер файла (" + std::to_string(size) + ") превышает допустимый (" +
           std::to_string(maxFileUpload) + ").";
}

TSignFileDialog::TSignFileDialog(const DialogEnvironment& environment,
                                 const SigningOptions& options, QWidget* parent)
    : SigningDialog(environment, options, parent, kFixedSigningDialogFlags) {
    setObjectName(QStringLiteral("SignFileDialog"));
    setWindowTitle(QStringLiteral("Выбор и подпись файла"));

    panel3_ = MakePanel(this, "Panel3", kWidth, kPanel3Height);
    MakeLabel(panel3_, "LabelFile", QStringLiteral("файл для подписи"))
        ->setGeometry(25, 10, 337, 16);
    edFile_ = new QLineEdit(panel3_);
    edFile_->setObjectName(QStringLiteral("EdFile"));
    edFile_->setReadOnly(true);
    edFile_->setFocusPolicy(Qt::ClickFocus);
    edFile_->setGeometry(25, 30, 337, 24);
    btnSelectFile_ = MakeButton(panel3_, "BtnSelectFile", QStringLiteral("..."));
    btnSelectFile_->setToolTip(QStringLiteral("Выбор файла для подписи"));
    btnSelectFile_->setGeometry(368, 29, 26, 25);

    panelCerts_ = MakePanel(this, "PanelCerts", kWidth, kPanelCertsHeight);
    MakeLabel(panelCerts_, "LabelCertInfo", QStringLiteral("сведения сертификата"))
        ->setGeometry(25, 2, 376, 16);
    htmlViewer1_ = MakeCertViewer(panelCerts_);
    htmlViewer1_->setGeometry(25, 20, 376, 237);
    MakeLabel(panelCerts_, "LabelCertList", QStringLiteral("список сертификатов"))
        ->setGeometry(25, 264, 376, 16);
    comboBoxCerts_ = MakeCertList(panelCerts_);
    comboBoxCerts_->setGeometry(25, 282, 376, 24);

    panelError_ = MakePanel(this, "PanelError", kWidth, kPanelErrorHeight);
    MakeErrorLabel(panelError_)->setGeometry(25, 5, 376, 43);

    panel1_ = MakePanel(this, "Panel1", kWidth, kPanel1Height);
    MakeBevel(panel1_, kWidth);
    btnSign_ = MakeButton(panel1_, "BtnSign", QStringLiteral("Подписать"));
    btnSign_->setGeometry(215, 14, 90, 25);
    btnSign_->setEnabled(false);
    button1_ = MakeButton(panel1_, "Button1", QStringLiteral("Закрыть"));
    button1_->setGeometry(311, 14, 90, 25);

    StackPanels({panel3_, panelCerts_, panelError_, panel1_});

    setTabOrder(btnSelectFile_, comboBoxCerts_);
    setTabOrder(comboBoxCerts_, btnSign_);
    setTabOrder(btnSign_, button1_);

    certs_ = std::make_unique<CertPanel>(comboBoxCerts_, htmlViewer1_);
    connect(btnSelectFile_, &QPushButton::clicked, this, &TSignFileDialog::BtnSelectFileClick);
    connect(btnSign_, &QPushButton::clicked, this, &TSignFileDialog::BtnSignClick);
    connect(button1_, &QPushButton::clicked, this, &TSignFileDialog::reject);
    connect(edFile_, &QLineEdit::textChanged, this, &TSignFileDialog::ChangeSelect);
    connect(comboBoxCerts_, &QComboBox::currentIndexChanged, this, &TSignFileDialog::ChangeSelect);
}

TSignFileDialog::~TSignFileDialog() {
    WaitForEngine();
}

bool TSignFileDialog::Prepare() {
    btnSelectFile_->setFocus();
    LabelError()->clear();
    panel3_->show();
    if (Options().useIdCard != 0) {
        RemovePanel(panelCerts_);
    } else if (!FillCertificates(*certs_, Options().certificateNum)) {
        return false;
    }
    UpdateControls();
    return true;
}

std::string TSignFileDialog::FileName() const {
    return LocalPath(edFile_->text());
}

void TSignFileDialog::BtnSelectFileClick() {
    if (Busy())
        return;
    std::function<std::optional<QString>(QWidget*)> choose = Environment().chooseFile;
    if (!choose)
        choose = &ChooseFileToSign;
    const std::optional<QString> chosen = choose(this);
    const QString text = chosen.value_or(QString());
    if (edFile_->text() == text)
        ChangeSelect();  // the field keeps its text: no change signal, the rules run anyway
    else
        edFile_->setText(text);
}

bool TSignFileDialog::FileChosen() const {
    const std::string path = FileName();
    struct stat info {};
    return !path.empty() && ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

void TSignFileDialog::ChangeSelect() {
    UpdateControls();
    if (Options().useIdCard == 0)
        certs_->ShowCertInfo();
}

void TSignFileDialog::UpdateControls() {
    const bool haveCertificate = Options().useIdCard != 0 || comboBoxCerts_->currentIndex() >= 0;
    btnSign_->setEnabled(!Busy() && haveCertificate && FileChosen());
    btnSelectFile_->setEnabled(!Busy());
    button1_->setEnabled(!Busy());
    comboBoxCerts_->setEnabled(!Busy());
}

void TSignFileDialog::ShowError(const QString& text) {
    QMessageBox box(QMessageBox::Critical, QStringLiteral("Ошибка"), text, QMessageBox::Ok, this);
    box.setObjectName(QStringLiteral("ErrorMessageBox"));
    box.exec();
}

void TSignFileDialog::BtnSignClick() {
    if (Busy() || !btnSign_->isEnabled())
        return;
    const std::string path = FileName();
    if (Options().maxFileUpload != 0) {
        const FileSizeQuery query = QueryFileSize(path);
        if (!query.opened) {
            ShowError(QStringLiteral("Невозможно открыть файл."));
            return;
        }
        if (const std::string refusal = FileSizeRefusal(query.size, Options().maxFileUpload);
            !refusal.empty()) {
            ShowError(QString::fromStdString(refusal));
            return;
        }
    }
    SignFile(path, *certs_);
}

int ShowSignFileDialog(const DialogEnvironment& environment, const SigningOptions& options,
                       std::string& fileName, std::string& signature, int /*mode*/,
                       std::optional<ContentFingerprint>& signedContent) {
    const std::optional<int> result = UiThread::Call([&]() -> int {
        TSignFileDialog dialog(environment, options);
        if (!dialog.Prepare())
            return kResultClosed;
        const int code = ExecSigningDialog(dialog);
        if (code == kResultSigned) {
            fileName = dialog.FileName();
            signature = dialog.Signature();
            signedContent = dialog.SignedContent();
        }
        return code;
    });
    return result.value_or(kResultClosed);
}

}  // namespace korvalo
