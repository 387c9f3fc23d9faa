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

KeyPasswordTexts KeyPasswordTexts::ForKeyFile(const QString& what, bool retry) {
    QString prompt = retry ? QStringLiteral("Неверный пароль. ") : QString();
    prompt += QStringLiteral("Введите пароль закрытого ключа %1:").arg(what);
    return {QStringLiteral("Пароль закрытого ключа"), prompt};
}

KeyPasswordTexts KeyPasswordTexts::ForTokenPin(const QString& tokenLabel, bool retry,
                                               bool perSignature) {
    QString prompt = retry ? QStringLiteral("Неверный PIN-код. ") : QString();
    prompt +=
        perSignature
            ? QStringLiteral("Введите PIN-код для подписи ключом токена «%1»:").arg(tokenLabel)
            : QStringLiteral("Введите PIN-код токена «%1»:").arg(tokenLabel);
    return {QStringLiteral("PIN-код токена"), prompt};
}

TFKeyPassword::TFKeyPassword(const QString& what, bool retry, QWidget* parent)
    : TFKeyPassword(KeyPasswordTexts::ForKeyFile(what, retry), parent) {}

TFKeyPassword::TFKeyPassword(const KeyPasswordTexts& texts, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowStaysOnTopHint |
                          Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowCloseButtonHint) {
    setObjectName(QStringLiteral("FKeyPassword"));
    setWindowTitle(texts.title);
    setFont(DialogFont());
    setModal(true);
    setFixedSize(360, 150);

    labelPrompt_ = new QLabel(texts.prompt, this);
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
    return Ask(KeyPasswordTexts::ForKeyFile(QString::fromStdString(what), retry));
}

std::optional<std::string> QtKeyPasswordPrompt::AskTokenPin(const std::string& tokenLabel,
                                                            bool retry, bool perSignature) {
    return Ask(
        KeyPasswordTexts::ForTokenPin(QString::fromStdString(tokenLabel), retry, perSignature));
}

std::optional<std::string> QtKeyPasswordPrompt::Ask(const KeyPasswordTexts& texts) {
    const std::optional<std::optional<std::string>> answer =
        UiThread::Call([&]() -> std::optional<std::string> {
            TFKeyPassword dialog(texts, QApplication::activeModalWidget());
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
