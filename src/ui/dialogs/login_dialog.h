#pragma once
// The proxy login window "Авторизация на прокси-сервере" and ShowLoginDialog over it.

#include <string>

#include "core/user_interface.h"
#include "ui/dialogs/credentials_dialog.h"

class QCheckBox;

namespace korvalo {

// The login window: user name, password shown as "*", the fixed "Сохранить пароль" box,
// "Вход" (Enter, result 1) and "Отмена" (Escape, result 2). Both fields start empty.
class TFLogin : public CredentialsDialog {
    Q_OBJECT

public:
    explicit TFLogin(QWidget* parent = nullptr);

    QCheckBox* CheckBoxSavePwd() const { return checkBoxSavePwd_; }

private:
    QCheckBox* checkBoxSavePwd_;
};

// ShowLoginDialog: shows TFLogin modally on the UI thread (from any thread), brought to the
// front. On "Вход" sets userName and userPwd from the fields through the single-byte code page
// and savePwd from the check box, and returns true; otherwise returns false and changes
// nothing.
class QtLoginPrompt : public ICredentialsPrompt {
public:
    [[nodiscard]] bool ShowLoginDialog(std::string& userName, std::string& userPwd,
                                       bool& savePwd) override;
};

}  // namespace korvalo
