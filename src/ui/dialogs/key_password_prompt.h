#pragma once
// The password window for a protected private key of the certificate store, as the store
// engine asks for it while it signs.

#include <QDialog>
#include <optional>
#include <string>

#include "core/user_interface.h"

class QLabel;
class QLineEdit;
class QPushButton;

namespace korvalo {

// "Пароль закрытого ключа": names the key file, a password field shown as "*", "ОК" (Enter)
// and "Отмена" (Escape or the close box). Stays above other windows.
class TFKeyPassword : public QDialog {
    Q_OBJECT

public:
    // what names the key (its file); retry: the previous password was wrong.
    TFKeyPassword(const QString& what, bool retry, QWidget* parent = nullptr);

    QLabel* LabelPrompt() const { return labelPrompt_; }
    QLineEdit* EdPassword() const { return edPassword_; }
    QPushButton* BtnOk() const { return btnOk_; }
    QPushButton* BtnCancel() const { return btnCancel_; }

private:
    QLabel* labelPrompt_;
    QLineEdit* edPassword_;
    QPushButton* btnOk_;
    QPushButton* btnCancel_;
};

// IKeyPasswordPrompt over TFKeyPassword: from any thread, the window runs modally on the UI
// thread (owned by the active modal window, a signing dialog, when there is one), brought to
// the front. Returns the password as UTF-8, or nothing when the user cancels or the
// application is ending.
class QtKeyPasswordPrompt : public IKeyPasswordPrompt {
public:
    [[nodiscard]] std::optional<std::string> AskKeyPassword(const std::string& what,
                                                            bool retry) override;
};

}  // namespace korvalo
