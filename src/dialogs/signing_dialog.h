#pragma once
// What the three signing dialogs share: the result codes of their ways out, the engine run off
// the UI thread with the dialog held open meanwhile, and the red error line.

#include <QDialog>
#include <QFont>
#include <QString>
#include <memory>
#include <string>
#include <thread>

#include "core/user_interface.h"
#include "dialogs/sign_engines.h"

class QLabel;
class QWidget;

namespace korvalo {

// A modal signing dialog. Ways out: a successful Sign gives 1, the title-bar close box 2,
// "Закрыть" and Escape 8. While an engine works the dialog cannot be closed (every way out is
// refused), its controls are disabled, and the UI thread stays free for the engine's log lines
// and password prompt. UI thread only.
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
    QLabel* LabelError() const { return labelError_; }

    // Escape and "Закрыть": result 8 unless an engine works.
    void reject() override;
    // Nothing: only a successful Sign gives result 1.
    void accept() override {}

signals:
    // An attempt has ended and its outcome is applied (the dialog may have closed with 1).
    void signAttemptFinished(bool signedOk);

protected:
    SigningDialog(const SigningEnvironment& environment, const SigningOptions& options,
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

    // Enables or disables the controls by the dialog's rules; busy() is taken into account.
    virtual void UpdateControls() = 0;

    // The red, word-wrapped error line, empty at start.
    QLabel* MakeErrorLabel(QWidget* parent);

    const SigningEnvironment& Environment() const { return environment_; }
    const SigningOptions& Options() const { return options_; }
    IEngineFactory& Engines() { return *engines_; }

private:
    void EngineDone();

    SigningEnvironment environment_;
    SigningOptions options_;
    std::unique_ptr<IEngineFactory> engines_;
    QLabel* labelError_ = nullptr;

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
int ExecSigningDialog(SigningDialog& dialog);

}  // namespace korvalo
