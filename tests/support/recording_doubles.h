#pragma once
// Recording doubles of the activity log (ILogSink), the notifier (INotifier) and the proxy
// login dialog (ICredentialsPrompt), safe to use from any thread.

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/log_sink.h"
#include "core/user_interface.h"

namespace korvalo::testing {

// Keeps every line; LogLength counts characters plus CR LF per line, as the log control does.
class RecordingLog : public ILogSink {
public:
    void PrintInfo(const std::string& text) override;
    void ClearInfo() override;
    std::size_t LogLength() const override;

    std::vector<std::string> Lines() const;
    int Clears() const;
    // Waits until a line containing text has been written.
    bool WaitFor(const std::string& text,
                 std::chrono::milliseconds timeout = std::chrono::seconds(20));
    // Lines with the "hh:nn:ss" time stamp (the first 8 characters) cut off, so " ---> text"
    // stays; lines without a stamp stay whole.
    std::vector<std::string> Texts() const;
    // Lines of the form "hh:nn:ss ---> text" as "text"; other lines stay whole.
    std::vector<std::string> Messages() const;
    // Messages() that contain part.
    std::vector<std::string> Matching(const std::string& part) const;
    // PrintInfo throws std::runtime_error for a line containing this text (when not empty).
    void ThrowOn(std::string text);
    // Pads the log to the given length in characters.
    void Fill(std::size_t length);

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::string throwOn_;
    std::vector<std::string> lines_;
    std::size_t length_ = 0;
    int clears_ = 0;
};

// Keeps every balloon and message box. Message boxes may be kept open (the call blocks, as the
// modal box does) until the test closes them; the most boxes open at once are counted.
class RecordingNotifier : public INotifier {
public:
    struct MessageBox {
        std::string text;
        std::string caption;
        Icon icon;
    };
    void ShowBalloon(const std::string& text) override;
    void ShowMessageBox(const std::string& text, const std::string& caption, Icon icon) override;
    std::vector<std::string> Balloons() const;
    std::vector<MessageBox> Boxes() const;

    // From now on every message box stays open until CloseBoxes().
    void KeepBoxesOpen();
    // Closes the open boxes, and every later one at once.
    void CloseBoxes();
    // Waits until n boxes are open.
    bool WaitOpenBoxes(int n, std::chrono::milliseconds timeout = std::chrono::seconds(20));
    int MostOpenAtOnce() const;

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> balloons_;
    std::vector<MessageBox> boxes_;
    bool keepOpen_ = false;
    int open_ = 0;
    int mostOpen_ = 0;
};

// Answers the login dialog from a script: each entry is a confirmation with user name and
// password, or nothing for a cancel. An exhausted script cancels.
class ScriptedPrompt : public ICredentialsPrompt {
public:
    using Answer = std::optional<std::pair<std::string, std::string>>;
    explicit ScriptedPrompt(std::vector<Answer> script = {});

    bool ShowLoginDialog(std::string& userName, std::string& userPwd, bool& savePwd) override;
    // How often the dialog was shown.
    int Calls() const;
    // Starts over with a new script, as if newly made.
    void Restart(std::vector<Answer> script);

private:
    mutable std::mutex mutex_;
    std::deque<Answer> script_;
    std::vector<std::pair<std::string, std::string>> seen_;
    int calls_ = 0;
};

// Answers the web server's login prompt from a script, like ScriptedPrompt, and records the
// hosts it was asked for.
class ScriptedServerPrompt : public IServerLoginPrompt {
public:
    using Answer = ScriptedPrompt::Answer;
    explicit ScriptedServerPrompt(std::vector<Answer> script = {});

    bool AskServerLogin(const std::string& host, std::string& userName,
                        std::string& password) override;
    // The hosts named, one for each time the prompt was shown.
    std::vector<std::string> Hosts() const;

private:
    mutable std::mutex mutex_;
    std::deque<Answer> script_;
    std::vector<std::string> hosts_;
};

}  // namespace korvalo::testing
