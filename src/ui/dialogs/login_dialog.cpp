#include "ui/dialogs/login_dialog.h"

#include <QCheckBox>
#include <QFont>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QTimer>

#include "core/text.h"
#include "ui/toolkit/foreground.h"
#include "ui/toolkit/ui_thread.h"

namespace korvalo {

TFLogin::TFLogin(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowStaysOnTopHint |
                          Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowCloseButtonHint) {
    setObjectName(QStringLiteral("FLogin"));
    setWindowTitle(QStringLiteral("Авторизация на прокси-сервере"));
    QFont font(QStringLiteral("Tahoma"));
    font.setPointSize(8);
    setFont(font);
    setFixedSize(371, 249);
    setModal(true);

    auto* explanation = new QLabel(
        QStringLiteral("Для доступа на прокси-сервер требуется указать имя пользователя и пароль"),
        this);
    explanation->setObjectName(QStringLiteral("Label1"));
    explanation->setWordWrap(true);
    explanation->setGeometry(16, 12, 339, 40);

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

    checkBoxSavePwd_ = new QCheckBox(QStringLiteral("Сохранить пароль"), this);
    checkBoxSavePwd_->setObjectName(QStringLiteral("CheckBoxSavePwd"));
    checkBoxSavePwd_->setGeometry(16, 166, 339, 20);
    checkBoxSavePwd_->setChecked(true);
    checkBoxSavePwd_->setEnabled(false);

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

void TFLogin::reject() {
    done(2);
}

bool QtLoginPrompt::ShowLoginDialog(std::string& userName, std::string& userPwd, bool& savePwd) {
    return UiThread::Call([&] {
               TFLogin dialog;
               // Best effort: a window manager may keep another window in front; the window works
               // all
               // the same.
               QTimer::singleShot(0, &dialog, [&dialog] { (void)ForceForegroundWindow(&dialog); });
               if (dialog.exec() != 1)
                   return false;
               userName = ThroughCp1251(dialog.EdUserName()->text().toStdString());
               userPwd = ThroughCp1251(dialog.EdPassword()->text().toStdString());
               savePwd = dialog.CheckBoxSavePwd()->isChecked();
               return true;
           })
        .value_or(false);
}

}  // namespace korvalo
