#include "ui/dialogs/server_login_dialog.h"

#include <QLabel>
#include <QLineEdit>

#include "ui/toolkit/ui_thread.h"

namespace korvalo {

ServerLoginDialog::ServerLoginDialog(const QString& host, QWidget* parent)
    : CredentialsDialog(QStringLiteral("ServerLogin"), QStringLiteral("Авторизация на сервере"),
                        QStringLiteral("Сервер %1 запрашивает имя пользователя и пароль").arg(host),
                        parent) {
    auto* note = new QLabel(
        QStringLiteral("Имя и пароль получит только этот сервер; они не сохраняются."), this);
    note->setObjectName(QStringLiteral("Label4"));
    note->setWordWrap(true);
    note->setGeometry(16, 166, 339, 32);
}

bool QtServerLoginPrompt::AskServerLogin(const std::string& host, std::string& userName,
                                         std::string& password) {
    return UiThread::Call([&] {
               ServerLoginDialog dialog(QString::fromStdString(host));
               if (!dialog.ExecInFront())
                   return false;
               userName = dialog.EdUserName()->text().toStdString();
               password = dialog.EdPassword()->text().toStdString();
               return true;
           })
        .value_or(false);
}

}  // namespace korvalo
