#include "ui/dialogs/credentials_dialog.h"

#include <QFont>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QTimer>

#include "ui/toolkit/foreground.h"

namespace korvalo {

CredentialsDialog::CredentialsDialog(const QString& objectName, const QString& title,
                                     const QString& explanation, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowStaysOnTopHint |
                          Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowCloseButtonHint) {
    setObjectName(objectName);
    setWindowTitle(title);
    QFont font(QStringLiteral("Tahoma"));
    font.setPointSize(8);
    setFont(font);
    setFixedSize(371, 249);
    setModal(true);

    // The explanation may name a host taken from a page's address: plain text, never markup.
    explanation_ = new QLabel(explanation, this);
    explanation_->setObjectName(QStringLiteral("Label1"));
    explanation_->setTextFormat(Qt::PlainText);
    explanation_->setWordWrap(true);
    explanation_->setGeometry(16, 12, 339, 40);

    auto* userLabel = new QLabel(QStringLiteral("Имя пользователя:"), this);
    userLabel->setObjectName(QStringLiteral("Label2"));
    userLabel->setGeometry(16, 64, 339, 16);
    edUserName_ = new QLineEdit(this);
    edUserName_->setObjectName(QStringLiteral("EdUserName"));
    edUserName_->setGeometry(16, 82, 339, 23);
    userLabel->setBuddy(edUserName_);

    auto* pwdLabel = new QLabel(QStringLiteral("Пароль:"), this);
    pwdLabel->setObjectName(QStringLiteral("Label3"));
    pwdLabel->setGeometry(16, 114, 339, 16);
    edPassword_ = new QLineEdit(this);
    edPassword_->setObjectName(QStringLiteral("EdPassword"));
    edPassword_->setGeometry(16, 132, 339, 23);
    edPassword_->setEchoMode(QLineEdit::Password);
    edPassword_->setStyleSheet(QStringLiteral("QLineEdit { lineedit-password-character: 42; }"));
    pwdLabel->setBuddy(edPassword_);

    btnOk_ = new QPushButton(QStringLiteral("Вход"), this);
    btnOk_->setObjectName(QStringLiteral("BtnOk"));
    btnOk_->setGeometry(196, 208, 75, 25);
    btnOk_->setDefault(true);
    btnOk_->setAutoDefault(true);
    btnCancel_ = new QPushButton(QStringLiteral("Отмена"), this);
    btnCancel_->setObjectName(QStringLiteral("BtnCancel"));
    btnCancel_->setGeometry(280, 208, 75, 25);
    btnCancel_->setAutoDefault(false);
    connect(btnOk_, &QPushButton::clicked, this, [this] { done(1); });
    connect(btnCancel_, &QPushButton::clicked, this, [this] { done(2); });

    setTabOrder(edUserName_, edPassword_);
    setTabOrder(edPassword_, btnOk_);
    setTabOrder(btnOk_, btnCancel_);
    edUserName_->setFocus();

    if (QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
}

void CredentialsDialog::reject() {
    done(2);
}

bool CredentialsDialog::ExecInFront() {
    // Best effort: a window manager may keep another window in front; the window works all the
    // same.
    QTimer::singleShot(0, this, [this] { (void)ForceForegroundWindow(this); });
    return exec() == 1;
}

}  // namespace korvalo
