#include "ui/dialogs/server_login_dialog.h"

#include <QFont>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QTimer>

#include "ui/toolkit/foreground.h"
#include "ui/toolkit/ui_thread.h"

namespace korvalo {

ServerLoginDialog::ServerLoginDialog(const QString& host, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowStaysOnTopHint |
                          Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowCloseButtonHint) {
    setObjectName(QStringLiteral("ServerLogin"));
    setWindowTitle(QStringLiteral("Авторизация на сервере"));
    QFont font(QStringLiteral("Tahoma"));
    font.setPointSize(8);
    setFont(font);
    setFixedSize(371, 249);
    setModal(true);

    // The host comes from the page's address: shown as plain text, never as markup.
    explanation_ = new QLabel(
        QStringLiteral("Сервер %1 запрашивает имя пользователя и пароль").arg(host), this);
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

    auto* note = new QLabel(
        QStringLiteral("Имя и пароль получит только этот сервер; они не сохраняются."), this);
    note->setObjectName(QStringLiteral("Label4"));
    note->setWordWrap(true);
    note->setGeometry(16, 166, 339, 32);

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

void ServerLoginDialog::reject() {
    done(2);
}

bool QtServerLoginPrompt::AskServerLogin(const std::string& host, std::string& userName,
                                         std::string& password) {
    return UiThread::Call([&] {
               ServerLoginDialog dialog(QString::fromStdString(host));
               QTimer::singleShot(0, &dialog, [&dialog] { (void)ForceForegroundWindow(&dialog); });
               if (dialog.exec() != 1)
                   return false;
               userName = dialog.EdUserName()->text().toStdString();
               password = dialog.EdPassword()->text().toStdString();
               return true;
           })
        .value_or(false);
}

}  // namespace korvalo
