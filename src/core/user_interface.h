#pragma once
// What Korvalo's Qt-free layers ask of the person at the desktop, one interface for each: the
// signing dialogs, message boxes and the tray balloon, the proxy login, the web server's login,
// the key password. The Qt layer implements them; tests give scripted doubles. Every call may
// come from any thread and blocks until the user has answered.

#include <optional>
#include <string>
#include <vector>

#include "core/content_fingerprint.h"
#include "core/record_sign.h"

namespace korvalo {

// Result codes of the signing dialogs and of the ID-card batch engine.
enum DialogResult : int {
    kResultSigned = 1,        // signed
    kResultWindowClosed = 2,  // closed through the window frame
    kResultClosed = 8,        // "Закрыть" or Escape, no certificate store, or nothing signed
};

// What a signing dialog and its engines need to know of the request and the settings.
struct SigningOptions {
    std::string certificateNum;  // serial text to preselect
    int maxFileUpload = 0;       // largest file in bytes, 0 no limit, negative refuses all
    int useIdCard = 0;           // non-zero: sign through the ID card
    bool debug = false;
    bool avCrypt = false;
    std::string hashAlgOID;
    std::vector<std::string> pkcs11Modules;  // further PKCS#11 modules of tokens
};

// The three signing dialogs. Each returns a DialogResult value.
class ISigningDialogs {
public:
    virtual ~ISigningDialogs() = default;
    // Signs the message file fileName; on 1 signature holds the signature text.
    [[nodiscard]] virtual int ShowSignMsgDialog(const SigningOptions& options,
                                                const std::string& fileName, std::string& signature,
                                                bool showMessage) = 0;
    // Lets the user choose a file and signs it; on 1 fileName and signature are set, and
    // signedContent to what the signature was made over when the engine tells it (nothing
    // otherwise).
    [[nodiscard]] virtual int ShowSignFileDialog(
        const SigningOptions& options, std::string& fileName, std::string& signature, int mode,
        std::optional<ContentFingerprint>& signedContent) = 0;
    // Signs every job with one certificate; results go into the job records.
    [[nodiscard]] virtual int ShowSignFilesDialog(const SigningOptions& options, TJobList& jobs,
                                                  const std::string& preselect) = 0;
};

// Message boxes and the tray balloon.
class INotifier {
public:
    enum class Icon { Information, Error };
    virtual ~INotifier() = default;
    // Sets the tray balloon's text and shows it (nothing when there is no tray icon).
    virtual void ShowBalloon(const std::string& text) = 0;
    // A modal message box with an OK button, brought to the front.
    virtual void ShowMessageBox(const std::string& text, const std::string& caption, Icon icon) = 0;
};

// The proxy login dialog ("Авторизация на прокси-сервере").
class ICredentialsPrompt {
public:
    virtual ~ICredentialsPrompt() = default;
    // On confirmation sets the three values (texts through the single-byte code page) and
    // returns true; otherwise returns false and changes nothing.
    [[nodiscard]] virtual bool ShowLoginDialog(std::string& userName, std::string& userPwd,
                                               bool& savePwd) = 0;
};

// The web server's login prompt ("Авторизация на сервере"): the server an upload goes to asked
// for a user name and password (HTTP 401). It is not the proxy's dialog: the answer goes to that
// server only, for that one upload, and is never stored.
class IServerLoginPrompt {
public:
    virtual ~IServerLoginPrompt() = default;
    // host names the server that asks (its host name, and the port when the address names
    // one). On confirmation sets userName and password and returns true; otherwise returns
    // false and changes nothing.
    [[nodiscard]] virtual bool AskServerLogin(const std::string& host, std::string& userName,
                                              std::string& password) = 0;
};

// Asks for the password of a private key (a protected key file of the certificate store) or for
// the PIN of a token or smart card that holds one.
class IKeyPasswordPrompt {
public:
    virtual ~IKeyPasswordPrompt() = default;
    // what names the key (its file); retry is true after a wrong password.
    // Returns the password, or nothing when the user cancels.
    [[nodiscard]] virtual std::optional<std::string> AskKeyPassword(const std::string& what,
                                                                    bool retry) = 0;
    // The PIN of the token labelled tokenLabel: to log in to it, or (perSignature) for one
    // signature with a key that asks for its PIN at every signature. retry is true after a
    // wrong PIN. Returns the PIN, or nothing when the user cancels. Unless a prompt shows a
    // window of its own, the question goes to AskKeyPassword with the token named in what.
    [[nodiscard]] virtual std::optional<std::string> AskTokenPin(const std::string& tokenLabel,
                                                                 bool retry, bool perSignature) {
        return AskKeyPassword("токена «" + tokenLabel + "»", retry);
    }
};

}  // namespace korvalo
