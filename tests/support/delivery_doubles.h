#pragma once
// Test doubles of the delivery's outside world: a scripted login dialog and a tinyproxy process
// (the recording log and notifier come from support/recording_doubles.h).

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
#include "support/recording_doubles.h"

namespace korvalo::testing {

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
