#pragma once
// What the three signing dialogs share: the result codes of their ways out, the engine run off
// the UI thread with the dialog held open meanwhile, the red error line, the stack of
// fixed-size panels, and signing a file with the ID card or the selected certificate.

#include <QDialog>
#include <QElapsedTimer>
#include <QFont>
#include <QString>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "core/user_interface.h"
#include "ui/dialogs/dialog_environment.h"

class QLabel;
class QProgressBar;
class QTimer;
class QWidget;

namespace korvalo {

class CertPanel;

// The window flags of the fixed-size dialogs (message and file): stays on top, a title bar
// with the close box only.
inline constexpr Qt::WindowFlags kFixedSigningDialogFlags =
    Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowStaysOnTopHint |
    Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint;

// A modal signing dialog. Ways out: a successful Sign gives 1, the title-bar close box 2,
// "Закрыть" and Escape 8. While an engine works the dialog cannot be closed (every way out is
// refused), its controls are disabled, and the UI thread stays free for the engine's log lines
// and password prompt. An engine that works longer than kProgressDelayMs gets a progress bar
// in the place of the error line, updated every kProgressStepMs while it works: documents
// signed of all, the share of the file read, or a busy bar when the engine cannot tell. UI
// thread only.
class SigningDialog : public QDialog {
    Q_OBJECT

public:
    ~SigningDialog() override;

    // True while an engine works.
    bool Busy() const { return busy_; }
    // Waits, keeping the UI thread's events served, until no engine works. The dialog's owner
    // calls it before destroying the dialog (the destructor does it too).
    void WaitForEngine();

    // The engine of the latest attempt (nothing before the first).
    const ISignEngine* LastEngine() const { return engine_.get(); }
    // The signature of the latest attempt (the one that closed the dialog with 1); empty
    // before the first.
    std::string Signature() const;
    // What the latest attempt signed, when its engine tells (ISignEngine::SignedContent).
    std::optional<ContentFingerprint> SignedContent() const;
    QLabel* LabelError() const { return labelError_; }

    // The progress bar over the error line (hidden unless a long run shows it).
    QProgressBar* ProgressBar() const { return progressBar_; }

    static constexpr int kProgressDelayMs = 500;
    static constexpr int kProgressStepMs = 150;

    // Escape and "Закрыть": result 8 unless an engine works.
    void reject() override;
    // Nothing: only a successful Sign gives result 1.
    void accept() override {}

signals:
    // An attempt has ended and its outcome is applied (the dialog may have closed with 1).
    void signAttemptFinished(bool signedOk);

protected:
    SigningDialog(const DialogEnvironment& environment, const SigningOptions& options,
                  QWidget* parent, Qt::WindowFlags flags);

    // The title-bar close box: result 2 unless an engine works.
    void closeEvent(QCloseEvent* event) override;
    // Enter and Return press the focused button and nothing else.
    void keyPressEvent(QKeyEvent* event) override;

    // Runs engine->Sign() on a worker thread. On success the dialog closes with 1; on failure
    // LabelError shows the engine's text (or the text of what it threw) and the dialog stays
    // open. engine replaces the previous attempt's engine. requireSignature: a success that
    // leaves Signature() empty counts as a failure ("Подпись не получена.").
    void RunEngine(std::unique_ptr<ISignEngine> engine, bool requireSignature);
    // Signs the file at path: with TSignIdCard when the request asks for the ID card,
    // otherwise with TSign and the certificate selected in certs (nothing happens when none is
    // selected). A signature is required.
    void SignFile(const std::string& path, const CertPanel& certs);

    // Enables or disables the controls by the dialog's rules; busy() is taken into account.
    virtual void UpdateControls() = 0;

    // The red, word-wrapped error line, empty at start.
    QLabel* MakeErrorLabel(QWidget* parent);
    // Lays the fixed-size panels out top to bottom, without margins or spacing, and fixes the
    // dialog's size to the first panel's width and the sum of their heights.
    void StackPanels(std::initializer_list<QWidget*> panels);
    // Takes a fixed-height panel out of the dialog's layout and hides it; the fixed-size
    // dialog shrinks by the panel's height. Nothing when the panel is hidden already.
    void RemovePanel(QWidget* panel);

    // Fills certs from the store and its tokens with preselect chosen (CertPanel::FillCertList).
    // When the list stays empty the log says which folder certificates go into; when the store
    // cannot be opened the log names it. False when the store cannot be opened.
    [[nodiscard]] bool FillCertificates(CertPanel& certs, const std::string& preselect);

    const DialogEnvironment& Environment() const { return environment_; }
    const SigningOptions& Options() const { return options_; }
    IEngineFactory& Engines() { return *engines_; }

private:
    void EngineDone();
    // Shows how far the engine has got, once it has worked kProgressDelayMs.
    void UpdateProgress();

    DialogEnvironment environment_;
    SigningOptions options_;
    std::unique_ptr<IEngineFactory> engines_;
    QLabel* labelError_ = nullptr;
    QProgressBar* progressBar_ = nullptr;
    QTimer* progressTimer_ = nullptr;
    QElapsedTimer runTime_;

    std::unique_ptr<ISignEngine> engine_;
    std::thread worker_;
    bool busy_ = false;
    bool destroying_ = false;
    bool outcomeOk_ = false;
    QString outcomeMessage_;
};

// The dialogs' font: Tahoma, 8 points.
QFont DialogFont();

// Shows dialog modally, brought to the front, and returns its result (1, 2 or 8; 8 also when
// the modal run was ended from outside, for example when the application quits). Returns only
// when no engine works any more.
[[nodiscard]] int ExecSigningDialog(SigningDialog& dialog);

}  // namespace korvalo
