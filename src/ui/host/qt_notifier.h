#pragma once
// Message boxes and the tray balloon for the rest of Korvalo, from any thread.

#include <QPointer>
#include <string>

#include "core/user_interface.h"

namespace korvalo {

class MainWindow;

// Shows message boxes (modal, brought to the front, above other windows) and the balloon of
// the main window's tray icon. Every call is handed over to the UI thread and waits there;
// after the application has begun to end nothing is shown.
class QtNotifier : public INotifier {
public:
    explicit QtNotifier(MainWindow* window = nullptr) : window_(window) {}
    void SetWindow(MainWindow* window) { window_ = window; }

    void ShowBalloon(const std::string& text) override;
    void ShowMessageBox(const std::string& text, const std::string& caption, Icon icon) override;

private:
    QPointer<MainWindow> window_;
};

}  // namespace korvalo
