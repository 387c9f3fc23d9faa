#pragma once
// TFormSplashRenovar: the borderless splash window that stays on screen while the update
// worker asks the service for its verdict.

#include <QDialog>
#include <memory>
#include <string>

#include "services/update/update_comp.h"
#include "services/update/update_thread.h"
#include "ui/toolkit/worker_link.h"
#include "ui/update/update_environment.h"

class QLabel;

namespace korvalo {

class TFormSplashRenovar : public QDialog {
    Q_OBJECT

public:
    // Creates the window for one ShowUpdateSplash with the six values of args; the worker
    // starts when the window is shown.
    TFormSplashRenovar(const UpdateWindowsEnvironment& environment, const UpdateSplashArgs& args);
    ~TFormSplashRenovar() override;

    // The worker hand-overs (UI thread).
    void GetDataFromForm(UpdateCheckRequest& request) const;
    void SendDataToForm(const std::string& ErrMsg, int ErrCode);
    void SendErrorToForm(const std::string& message);

    // The verdict: FErrCode and FErrMsg (single-byte text in code page 1251).
    int ErrCode() const { return FErrCode; }
    const std::string& ErrMsg() const { return FErrMsg; }
    bool InProcess() const { return InProcess_; }
    // The running worker, or nullptr.
    std::shared_ptr<TUpdateThread> UpdateThread() const { return FUpdateThread; }
    // Whether the window got a task-bar button of its own (the application window was hidden).
    bool HasOwnTaskbarButton() const { return ownTaskbarButton_; }
    QLabel* LbBackgroundMessage() const { return lbBackgroundMessage_; }

protected:
    void showEvent(QShowEvent* event) override;
    // Closed other than by a hand-over (the window system's close, Escape): the worker is
    // cancelled and let go, and the verdict stays 0.
    void done(int result) override;

private:
    void StartWorker();
    void DetachWorker();

    UpdateWindowsEnvironment environment_;
    bool ownTaskbarButton_ = false;
    bool started_ = false;

    // Fields of the design, in order.
    QLabel* lbBackgroundMessage_;
    std::string FSoftwareID;
    std::string FVersion;
    std::string FURL;
    std::string FProxy;
    std::string FProxyUserName;
    std::string FProxyPassword;
    std::string FErrMsg;
    int FErrCode = 0;
    bool InProcess_ = false;
    std::shared_ptr<TUpdateThread> FUpdateThread;
    std::shared_ptr<WorkerLink<TFormSplashRenovar>> link_;
};

// Runs the splash modally (UI thread) until the worker hands over its verdict or the window is
// closed; the verdict's message comes back from code page 1251. Throws when the window cannot
// be run (the application is ending).
UpdateVerdict ShowUpdateSplash(const UpdateWindowsEnvironment& environment,
                               const UpdateSplashArgs& args);

}  // namespace korvalo
