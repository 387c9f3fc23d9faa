#pragma once
// The password window for a protected private key of the certificate store, and the PIN window
// of a token that holds one, as the store engine asks for them while it signs.

#include <QDialog>
#include <optional>
#include <string>

#include "core/user_interface.h"

class QLabel;
class QLineEdit;
class QPushButton;

namespace korvalo {

// What the window says: its title and the line above the field.
struct KeyPasswordTexts {
    QString title;
    QString prompt;

    // "Пароль закрытого ключа" of the key file what; retry: the previous password was wrong.
    static KeyPasswordTexts ForKeyFile(const QString& what, bool retry);
    // "PIN-код токена" of the token labelled tokenLabel, to log in to it or (perSignature) for
    // one signature; retry: the previous PIN was wrong.
    static KeyPasswordTexts ForTokenPin(const QString& tokenLabel, bool retry, bool perSignature);
};

// "Пароль закрытого ключа" (or "PIN-код токена"): names the key file (or the token), a password
// field shown as "*", "ОК" (Enter) and "Отмена" (Escape or the close box). Stays above other
// windows.
class TFKeyPassword : public QDialog {
    Q_OBJECT

public:
    // what names the key (its file); retry: the previous password was wrong.
    TFKeyPassword(const QString& what, bool retry, QWidget* parent = nullptr);
    explicit TFKeyPassword(const KeyPasswordTexts& texts, QWidget* parent = nullptr);

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
// the front. Returns the password or PIN as UTF-8, or nothing when the user cancels or the
// application is ending.
class QtKeyPasswordPrompt : public IKeyPasswordPrompt {
public:
    [[nodiscard]] std::optional<std::string> AskKeyPassword(const std::string& what,
                                                            bool retry) override;
    [[nodiscard]] std::optional<std::string> AskTokenPin(const std::string& tokenLabel, bool retry,
                                                         bool perSignature) override;

private:
    [[nodiscard]] static std::optional<std::string> Ask(const KeyPasswordTexts& texts);
};

}  // namespace korvalo
