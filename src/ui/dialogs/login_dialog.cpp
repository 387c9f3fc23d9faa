#include "ui/dialogs/login_dialog.h"

#include <QCheckBox>
#include <QLineEdit>

#include "core/text.h"
#include "ui/toolkit/ui_thread.h"

namespace korvalo {

TFLogin::TFLogin(QWidget* parent)
    : CredentialsDialog(
          QStringLiteral("FLogin"), QStringLiteral("Авторизация на прокси-сервере"),
          QStringLiteral(
              "Для доступа на прокси-сервер требуется указать имя пользователя и пароль"),
          parent) {
    checkBoxSavePwd_ = new QCheckBox(QStringLiteral("Сохранить пароль"), this);
    checkBoxSavePwd_->setObjectName(QStringLiteral("CheckBoxSavePwd"));
    checkBoxSavePwd_->setGeometry(16, 166, 339, 20);
    checkBoxSavePwd_->setChecked(true);
    checkBoxSavePwd_->setEnabled(false);
}

bool QtLoginPrompt::ShowLoginDialog(std::string& userName, std::string& userPwd, bool& savePwd) {
    return UiThread::Call([&] {
               TFLogin dialog;
               if (!dialog.ExecInFront())
                   return false;
               userName = ThroughCp1251(dialog.EdUserName()->text().toStdString());
               userPwd = ThroughCp1251(dialog.EdPassword()->text().toStdString());
               savePwd = dialog.CheckBoxSavePwd()->isChecked();
               return true;
           })
        .value_or(false);
}

}  // namespace korvalo
