#pragma once
// The web server's login window "Авторизация на сервере" and the prompt over it: a server an
// upload goes to asks for a user name and password. Unlike the proxy login window nothing is
// stored and the answer goes to that server only.

#include <string>

#include "core/user_interface.h"
#include "ui/dialogs/credentials_dialog.h"

namespace korvalo {

// The window: the explanation naming the server's host, user name, password shown as "*", a
// note that nothing is stored, "Вход" (Enter, result 1) and "Отмена" (Escape and the window
// frame, result 2). Both fields start empty.
class ServerLoginDialog : public CredentialsDialog {
    Q_OBJECT

public:
    explicit ServerLoginDialog(const QString& host, QWidget* parent = nullptr);
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
