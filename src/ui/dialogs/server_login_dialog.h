#pragma once
// The web server's login window "Авторизация на сервере" and the prompt over it: a server an
// upload goes to asks for a user name and password. Unlike the proxy login window nothing is
// stored and the answer goes to that server only.

#include <QDialog>
#include <string>

#include "core/user_interface.h"

class QLabel;
class QLineEdit;
class QPushButton;

namespace korvalo {

// The window: the explanation naming the server's host, user name, password shown as "*",
// "Вход" (Enter, result 1) and "Отмена" (Escape and the window frame, result 2). Both fields
// start empty.
class ServerLoginDialog : public QDialog {
    Q_OBJECT

public:
    explicit ServerLoginDialog(const QString& host, QWidget* parent = nullptr);

    QLabel* Explanation() const { return explanation_; }
    QLineEdit* EdUserName() const { return edUserName_; }
    QLineEdit* EdPassword() const { return edPassword_; }
    QPushButton* BtnOk() const { return btnOk_; }
    QPushButton* BtnCancel() const { return btnCancel_; }

    void reject() override;

private:
    QLabel* explanation_;
    QLineEdit* edUserName_;
    QLineEdit* edPassword_;
    QPushButton* btnOk_;
    QPushButton* btnCancel_;
};

// AskServerLogin: shows ServerLoginDialog modally on the UI thread (from any thread), brought
// to the front. On "Вход" sets userName and password from the fields and returns true;
// otherwise returns false and changes nothing.
class QtServerLoginPrompt : public IServerLoginPrompt {
public:
    bool AskServerLogin(const std::string& host, std::string& userName,
                        std::string& password) override;
};

}  // namespace korvalo
