#pragma once
// TfmPathLoaderConnection: the path loader's connection window. It runs the service worker,
// shows its progress, the error with recommendations, and lets the user set the proxy.

#include <QDialog>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <memory>
#include <string>

#include "services/pathloader/path_loader.h"
#include "services/pathloader/path_loader_thread.h"
#include "ui/pathloader/path_loader_environment.h"
#include "ui/toolkit/worker_link.h"

class QAction;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;

namespace korvalo {

class AnimatedPicture;
class HintHidePauseFilter;
class TRichEditURL;

// The speed at which this module plays animated pictures: five times their own timing.
inline constexpr int kPathLoaderAnimationSpeed = 500;

class TfmPathLoaderConnection : public QDialog {
    Q_OBJECT

public:
    // Creates the window for one ShowConnectionDialog: caption, AllowSetProxy, SoftwareID,
    // MenuID and the endpoint lines come from args; the proxy sources are read now.
    TfmPathLoaderConnection(const PathLoaderEnvironment& environment,
                            const ConnectionDialogArgs& args);
    ~TfmPathLoaderConnection() override;

    // Applies a mode: 0 connecting, 1 aborted by the user, 2 error.
    void SetShowMode(int mode);
    int ShowMode() const { return FShowMode; }
    const QString& StatusMessage() const { return FStatusMessage; }
    void SetStatusMessage(const QString& text);

    // The worker hand-overs (UI thread).
    void GetDataFromComponent(PathLoaderRequest& request) const;
    void SendDataToComponent(const std::string& MenuList, const std::string& PathList);
    void SendErrorToComponent(const std::string& message, int ErrorCode);

    // Starts an attempt: a new worker, remembered as the module's most recent one.
    void StartAttempt();
    // The proxy the worker and the caller get: the field's text, empty when it shows the
    // system's proxy.
    std::string ProxyForCaller() const;
    // The full "mailto:" address of a support link click, subject and body appended.
    std::string MailLink(const std::string& url) const;
    // What the gbProxy hint shows at a point of the group: its hint inside the caption's word
    // "прокси" (64 to 100 across, 4 to 12 down), nothing elsewhere.
    QString ProxyHintAt(const QPoint& point) const;
    // Whether the window got a task-bar button of its own (the application window was hidden).
    bool HasOwnTaskbarButton() const { return ownTaskbarButton_; }

    bool InProcess() const { return InProcess_; }
    int ErrorCode() const { return FErrorCode; }
    const std::string& ErrorMessage() const { return FErrorMessage; }
    const std::string& MenuList() const { return FMenuList; }
    const std::string& PathList() const { return FPathList; }
    const std::string& SystemProxy() const { return FSystemProxy; }
    const std::string& DefaultProxy() const { return FDefaultProxy; }

    // The most recently started worker of this module (empty when none is alive).
    static std::shared_ptr<TPathLoaderThread> LastWorker();

    // ---- controls, named as the design names them ----
    AnimatedPicture* ImgConnection() const { return imgConnection_; }
    QLabel* ImgAbort() const { return imgAbort_; }
    QLabel* ImgError() const { return imgError_; }
    QLabel* LblStatus() const { return lblStatus_; }
    TRichEditURL* RedtTips() const { return redtTips_; }
    QPushButton* BtnAbort() const { return btnAbort_; }
    QPushButton* BtnTryAgain() const { return btnTryAgain_; }
    QGroupBox* GbProxy() const { return gbProxy_; }
    QLineEdit* EdtProxyServer() const { return edtProxyServer_; }
    QLineEdit* EdtProxyUser() const { return edtProxyUser_; }
    QLineEdit* EdtProxyPassword() const { return edtProxyPassword_; }
    QPushButton* BtnImportProxy() const { return btnImportProxy_; }
    QMenu* PmnuProxy() const { return pmnuProxy_; }
    QTimer* TmrDelay() { return &tmrDelay_; }
    QWidget* TipsArea() const { return tipsArea_; }
    QWidget* ProxyArea() const { return proxyArea_; }

public slots:
    void btnAbortClick();
    void btnTryAgainClick();
    void btnImportProxyClick();
    void tmrDelayTimer();
    void ProxyMenuItemClick(QAction* item);
    void redtTipsURLClick(const QString& url);

protected:
    void done(int result) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void BuildLayout();
    void PrepareProxyMenu(int browserKind);
    void RebuildTips();
    void DetachWorker();
    void MoveAfterResize(int oldHeight);

    PathLoaderEnvironment environment_;
    bool ownTaskbarButton_ = false;

    AnimatedPicture* imgConnection_;
    QLabel* imgAbort_;
    QLabel* imgError_;
    QLabel* lblStatus_;
    QWidget* tipsArea_;
    QWidget* actionArea_;
    QWidget* proxyArea_;
    QPushButton* btnAbort_;
    QPushButton* btnTryAgain_;
    QGroupBox* gbProxy_;
    QLabel* lblProxyServer_;
    QLabel* lblProxyUser_;
    QLabel* lblProxyPassword_;
    QLineEdit* edtProxyServer_;
    QLineEdit* edtProxyUser_;
    QLineEdit* edtProxyPassword_;
    QPushButton* btnImportProxy_;
    QMenu* pmnuProxy_;
    QTimer tmrDelay_;
    HintHidePauseFilter* hintFilter_;

    // Fields of the design, in order.
    TRichEditURL* redtTips_;
    bool InProcess_ = false;
    int FAlwaysVisiblePartHeight = 113;
    int FTipsHeight = 228;
    int FProxyHeight = 127;
    int FShowMode = 0;
    QString FStatusMessage;
    int FErrorCode = 0;
    std::string FSystemProxy;
    std::string FDefaultProxy;
    bool FAllowSetProxy = true;
    QStringList FPathLoaderURL;
    std::string FSoftwareID;
    std::string FMenuID;
    std::string FMenuList;
    std::string FPathList;
    std::string FErrorMessage;

    std::shared_ptr<TPathLoaderThread> worker_;
    std::shared_ptr<WorkerLink<TfmPathLoaderConnection>> link_;
};

// Runs the connection window modally (UI thread) with the values of args: see
// IPathLoaderWindows::ShowConnectionDialog. The application's hint-hide pause is 999999 ms
// while the window exists.
[[nodiscard]] bool ShowConnectionDialog(const PathLoaderEnvironment& environment,
                                        ConnectionDialogArgs& args);

}  // namespace korvalo
