#pragma once
// Test doubles of the delivery's outside world: a recording log, a recording notifier, a
// scripted login dialog and a tinyproxy process.

#include <deque>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <sys/types.h>

#include "core/log_sink.h"
#include "core/user_interface.h"
#include "support/files.h"

namespace korvalo::testing {

class RecordingLog : public ILogSink {
public:
    void PrintInfo(const std::string& text) override {
        std::lock_guard lock(mutex_);
        lines_.push_back(text);
    }
    void ClearInfo() override {
        std::lock_guard lock(mutex_);
        lines_.clear();
    }
    std::size_t LogLength() const override {
        std::lock_guard lock(mutex_);
        std::size_t n = 0;
        for (const auto& line : lines_)
            n += line.size();
        return n;
    }
    std::vector<std::string> Lines() const {
        std::lock_guard lock(mutex_);
        return lines_;
    }
    // The lines without their "hh:nn:ss" time stamp (lines that have one).
    std::vector<std::string> Texts() const;
    // Lines (time stamps removed) that contain part.
    std::vector<std::string> Matching(const std::string& part) const;

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

class RecordingNotifier : public INotifier {
public:
    struct MessageBox {
        std::string text;
        std::string caption;
        Icon icon;
    };
    void ShowBalloon(const std::string& text) override {
        std::lock_guard lock(mutex_);
        balloons_.push_back(text);
    }
    void ShowMessageBox(const std::string& text, const std::string& caption, Icon icon) override {
        std::lock_guard lock(mutex_);
        boxes_.push_back({text, caption, icon});
    }
    std::vector<std::string> Balloons() const {
        std::lock_guard lock(mutex_);
        return balloons_;
    }
    std::vector<MessageBox> Boxes() const {
        std::lock_guard lock(mutex_);
        return boxes_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> balloons_;
    std::vector<MessageBox> boxes_;
};

// Answers the login dialog from a script: each entry is a confirmation with user name and
// password, or nothing for a cancel. An exhausted script cancels.
class ScriptedPrompt : public ICredentialsPrompt {
public:
    using Answer = std::optional<std::pair<std::string, std::string>>;
    explicit ScriptedPrompt(std::vector<Answer> script = {})
        : script_(script.begin(), script.end()) {}

    bool ShowLoginDialog(std::string& userName, std::string& userPwd, bool& savePwd) override {
        std::lock_guard lock(mutex_);
        ++calls_;
        seen_.emplace_back(userName, userPwd);
        if (script_.empty() || !script_.front()) {
            if (!script_.empty())
                script_.pop_front();
            return false;
        }
        userName = script_.front()->first;
        userPwd = script_.front()->second;
        savePwd = true;
        script_.pop_front();
        return true;
    }
    int Calls() const {
        std::lock_guard lock(mutex_);
        return calls_;
    }

private:
    mutable std::mutex mutex_;
    std::deque<Answer> script_;
    std::vector<std::pair<std::string, std::string>> seen_;
    int calls_ = 0;
};

// tinyproxy in the foreground on a free loopback port with Basic authentication, stopped at
// the end.
class TinyProxy {
public:
    TinyProxy(const std::string& user, const std::string& password);
    ~TinyProxy();
    TinyProxy(const TinyProxy&) = delete;
    TinyProxy& operator=(const TinyProxy&) = delete;
    int Port() const { return port_; }
    // What tinyproxy logged.
    std::string Log() const;

private:
    TempDir dir_;
    int port_ = 0;
    pid_t pid_ = -1;
};

}  // namespace korvalo::testing
