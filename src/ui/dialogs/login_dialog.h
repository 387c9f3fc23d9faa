#pragma once
// The proxy login window "Авторизация на прокси-сервере" and ShowLoginDialog over it.

#include <QDialog>
#include <string>

#include "core/user_interface.h"

class QCheckBox;
class QLineEdit;
class QPushButton;

namespace korvalo {

// The login window: user name, password shown as "*", the fixed "Сохранить пароль" box,
// "Вход" (Enter, result 1) and "Отмена" (Escape, result 2). Both fields start empty.
class TFLogin : public QDialog {
    Q_OBJECT

public:
    explicit TFLogin(QWidget* parent = nullptr);

    QLineEdit* EdUserName() const { return edUserName_; }
    QLineEdit* EdPassword() const { return edPassword_; }
    QCheckBox* CheckBoxSavePwd() const { return checkBoxSavePwd_; }
    QPushButton* BtnOk() const { return btnOk_; }
    QPushButton* BtnCancel() const { return btnCancel_; }

    // Escape and the window frame give result 2, like "Отмена".
    void reject() override;

private:
    QLineEdit* edUserName_;
    QLineEdit* edPassword_;
    QCheckBox* checkBoxSavePwd_;
    QPushButton* btnOk_;
    QPushButton* btnCancel_;
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
