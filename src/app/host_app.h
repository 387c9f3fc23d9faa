#pragma once
// Korvalo put together, in this one place: the activity log, message boxes and balloon, the
// login dialogs, the signing and delivery parts, TFMain and the main window, with start-up, the
// message loop and shutdown.

#include <functional>
#include <memory>

#include "services/program/fmain.h"

namespace korvalo {

class MainWindow;
class QtLogSink;
class QtNotifier;
class QtLoginPrompt;
class QtServerLoginPrompt;
class TokenRegistry;

// How the program is put together. The defaults are Korvalo as it runs on this machine; tests
// replace what they need.
struct HostOptions {
    // The parts that sign and deliver. When ownParts is on, every factory left empty is
    // Korvalo's own: the signing dialogs over the store and its tokens, with the key password
    // and PIN window, the upload with the proxy and web server login windows, the ID-card
    // signer through the card service.
    TFMainParts parts;
    bool ownParts = true;
    TFMainOptions main;
    // Every log line also goes to the standard error stream.
    bool echoLog = false;
    // Whether a notification area exists now (default: the system's answer).
    std::function<bool()> trayAvailable;
};

// Needs the QApplication object; lives on the UI thread.
class HostApplication {
public:
    explicit HostApplication(HostOptions options);
    ~HostApplication();
    HostApplication(const HostApplication&) = delete;
    HostApplication& operator=(const HostApplication&) = delete;

    // Start-up (TFMain::FormCreate with the main window).
    void Start();
    // Shutdown: ends the UI-thread hand-over (so that no connection thread waits for a loop
    // that no longer runs), then TFMain::FormClose.
    void Stop();
    // Start(), then the message loop until "Выход", then Stop(). When start-up asked to end
    // (the port was in use) the loop ends at once and Stop() is not run; the result is 1 then,
    // 0 otherwise.
    [[nodiscard]] int Run();

    TFMain& Main() { return *main_; }
    MainWindow& Window() { return *window_; }
    QtLogSink& Log() { return *log_; }
    QtNotifier& Notifier() { return *notifier_; }

private:
    class WindowHost;

    std::unique_ptr<QtLogSink> log_;
    std::unique_ptr<QtNotifier> notifier_;
    std::unique_ptr<QtLoginPrompt> loginPrompt_;
    std::unique_ptr<QtServerLoginPrompt> serverLogin_;
    // The PKCS#11 modules of tokens, loaded once for the life of the program.
    std::unique_ptr<TokenRegistry> tokens_;
    std::unique_ptr<TFMain> main_;
    std::unique_ptr<MainWindow> window_;
    std::unique_ptr<WindowHost> windowHost_;
    bool stopped_ = false;
};

}  // namespace korvalo
