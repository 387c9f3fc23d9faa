#include "ui/dialogs/key_password_prompt.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include "ui/dialogs/signing_dialog.h"
#include "ui/toolkit/foreground.h"
#include "ui/toolkit/ui_thread.h"

namespace korvalo {

TFKeyPassword::TFKeyPassword(const QString& what, bool retry, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowStaysOnTopHint |
                          Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowCloseButtonHint) {
    setObjectName(QStringLiteral("FKeyPassword"));
    setWindowTitle(QStringLiteral("Пароль закрытого ключа"));
    setFont(DialogFont());
    setModal(true);
    setFixedSize(360, 150);

    QString prompt = retry ? QStringLiteral("Неверный пароль. ") : QString();
    prompt += QStringLiteral("Введите пароль закрытого ключа %1:").arg(what);
    labelPrompt_ = new QLabel(prompt, this);
    labelPrompt_->setObjectName(QStringLiteral("LabelPrompt"));
    labelPrompt_->setTextFormat(Qt::PlainText);
    labelPrompt_->setWordWrap(true);
    labelPrompt_->setGeometry(16, 12, 328, 48);

    edPassword_ = new QLineEdit(this);
    edPassword_->setObjectName(QStringLiteral("EdPassword"));
    edPassword_->setEchoMode(QLineEdit::Password);
    edPassword_->setStyleSheet(QStringLiteral("QLineEdit { lineedit-password-character: 42; }"));
    edPassword_->setGeometry(16, 66, 328, 24);

    btnOk_ = new QPushButton(QStringLiteral("ОК"), this);
    btnOk_->setObjectName(QStringLiteral("BtnOk"));
    btnOk_->setDefault(true);
    btnOk_->setGeometry(158, 108, 90, 25);
    btnCancel_ = new QPushButton(QStringLiteral("Отмена"), this);
    btnCancel_->setObjectName(QStringLiteral("BtnCancel"));
    btnCancel_->setAutoDefault(false);
    btnCancel_->setGeometry(254, 108, 90, 25);

    connect(btnOk_, &QPushButton::clicked, this, &QDialog::accept);
    connect(btnCancel_, &QPushButton::clicked, this, &QDialog::reject);
    edPassword_->setFocus();
}

std::optional<std::string> QtKeyPasswordPrompt::AskKeyPassword(const std::string& what,
                                                               bool retry) {
    const std::optional<std::optional<std::string>> answer =
        UiThread::Call([&]() -> std::optional<std::string> {
            TFKeyPassword dialog(QString::fromStdString(what), retry,
                                 QApplication::activeModalWidget());
            // Best effort: a window manager may keep another window in front; the window works all
            // the same.
            QTimer::singleShot(0, &dialog, [&dialog] { (void)ForceForegroundWindow(&dialog); });
            if (dialog.exec() != QDialog::Accepted)
                return std::nullopt;
            return dialog.EdPassword()->text().toStdString();
        });
    return answer.value_or(std::nullopt);
}

}  // namespace korvalo
