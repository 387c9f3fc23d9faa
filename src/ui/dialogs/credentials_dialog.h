#pragma once
// The window both login windows are made of: an explanation, user name and password fields,
// "Вход" and "Отмена".

#include <QDialog>
#include <QString>

class QLabel;
class QLineEdit;
class QPushButton;

namespace korvalo {

// A fixed-size modal window (371 x 249, Tahoma 8, on top, centred on the screen) with the
// explanation as plain text, the user name, the password shown as "*", "Вход" (Enter, result 1)
// and "Отмена" (Escape and the window frame, result 2). Both fields start empty; the row
// between the password and the buttons (16, 166, 339 wide) is the window's own to fill.
class CredentialsDialog : public QDialog {
    Q_OBJECT

public:
    QLabel* Explanation() const { return explanation_; }
    QLineEdit* EdUserName() const { return edUserName_; }
    QLineEdit* EdPassword() const { return edPassword_; }
    QPushButton* BtnOk() const { return btnOk_; }
    QPushButton* BtnCancel() const { return btnCancel_; }

    void reject() override;

    // Shows the window modally, brought to the front; true when it ended with "Вход".
    [[nodiscard]] bool ExecInFront();

protected:
    CredentialsDialog(const QString& objectName, const QString& title, const QString& explanation,
                      QWidget* parent);

private:
    QLabel* explanation_;
    QLineEdit* edUserName_;
    QLineEdit* edPassword_;
    QPushButton* btnOk_;
    QPushButton* btnCancel_;
};

}  // namespace korvalo
