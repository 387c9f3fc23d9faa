#pragma once
// The settings dialog "Настройки": the upload's proxy, attribute certificates and the update
// check flag, read from the main settings file and written back on OK.

#include <QDialog>
#include <string>
#include <string_view>

#include "core/user_interface.h"

class QCheckBox;
class QGroupBox;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QTabWidget;

namespace korvalo {

// Whether text names a proxy server: an IPv4 address or a host name with a dot and a
// top-level part of 2 to 6 lower-case letters, found anywhere in the text (Perl-compatible
// patterns, case-sensitive, an empty match does not count).
bool ProxyServerTextAccepted(std::string_view text);

// The settings dialog. Created for one modal run: it reads the main settings file when it is
// made and, when OK is pressed with acceptable values, writes them back and closes with
// result 1; "Отмена" and the window frame give result 2 and write nothing.
class TFOptions : public QDialog {
    Q_OBJECT

public:
    // mainIni: the main settings file; prompt: the proxy login dialog, asked on OK in manual
    // mode when a server and a port are given.
    TFOptions(std::string mainIni, ICredentialsPrompt& prompt, QWidget* parent = nullptr);

    // Event handlers of the controls.
    void RadioButtonManualClick();
    void RadioButtonAutoClick();
    void CheckBoxAvSignClick();
    void CheckBoxUpdateClick();
    void Button1Click();

    void reject() override;

    // Fields besides the controls.
    bool useAutoProxy = false;
    bool debug = false;
    bool debugExt = false;
    std::string proxyAddress;
    std::string proxyPort;
    std::string proxyAccess;
    std::string hashAlgOID;
    std::string userName;
    std::string userPwd;
    bool isSavePwd = false;
    bool avCrypt = false;
    bool bCheckUpdate = false;

private:
    void FormCreate();
    void UpdateProxyControls();

    std::string mainIni_;
    ICredentialsPrompt& prompt_;
    QTabWidget* pageControl_;
    QRadioButton* radioButtonManual_;
    QRadioButton* radioButtonAuto_;
    QGroupBox* groupBox1_;
    QLineEdit* edServer_;
    QLineEdit* edPort_;
    QCheckBox* checkBoxAvSign_;
    QCheckBox* checkBoxUpdate_;
    QPushButton* button1_;
    QPushButton* button2_;
};

}  // namespace korvalo
