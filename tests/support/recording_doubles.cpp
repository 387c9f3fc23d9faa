#include "support/recording_doubles.h"

#include <algorithm>
#include <stdexcept>

#include "core/text.h"

namespace korvalo::testing {

namespace {

bool Stamped(const std::string& line) {
    return line.size() >= 8 && line[2] == ':' && line[5] == ':';
}

}  // namespace

void RecordingLog::PrintInfo(const std::string& text) {
    std::lock_guard lock(mutex_);
    if (!throwOn_.empty() && text.find(throwOn_) != std::string::npos)
        throw std::runtime_error("log refused");
    for (const std::string& line : SplitLines(text))
        length_ += CharCount(line) + 2;
    lines_.push_back(text);
    changed_.notify_all();
}

void RecordingLog::ThrowOn(std::string text) {
    std::lock_guard lock(mutex_);
    throwOn_ = std::move(text);
}

void RecordingLog::Fill(std::size_t length) {
    std::lock_guard lock(mutex_);
    lines_.push_back(std::string(length - 2, 'x'));
    length_ += length;
}

void RecordingLog::ClearInfo() {
    std::lock_guard lock(mutex_);
    lines_.clear();
    length_ = 0;
    ++clears_;
}

std::size_t RecordingLog::LogLength() const {
    std::lock_guard lock(mutex_);
    return length_;
}

std::vector<std::string> RecordingLog::Lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
}

int RecordingLog::Clears() const {
    std::lock_guard lock(mutex_);
    return clears_;
}

bool RecordingLog::WaitFor(const std::string& text, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] {
        for (const std::string& line : lines_) {
            if (line.find(text) != std::string::npos)
                return true;
        }
        return false;
    });
}

std::vector<std::string> RecordingLog::Texts() const {
    std::vector<std::string> texts;
    for (const std::string& line : Lines())
        texts.push_back(Stamped(line) ? line.substr(8) : line);
    return texts;
}

std::vector<std::string> RecordingLog::Messages() const {
    std::vector<std::string> messages;
    for (const std::string& line : Lines()) {
        const bool arrow = Stamped(line) && line.size() >= 14 && line.compare(8, 6, " ---> ") == 0;
        messages.push_back(arrow ? line.substr(14) : line);
    }
    return messages;
}

std::vector<std::string> RecordingLog::Matching(const std::string& part) const {
    std::vector<std::string> found;
    for (const std::string& message : Messages()) {
        if (message.find(part) != std::string::npos)
            found.push_back(message);
    }
    return found;
}

void RecordingNotifier::ShowBalloon(const std::string& text) {
    std::lock_guard lock(mutex_);
    balloons_.push_back(text);
}

void RecordingNotifier::ShowMessageBox(const std::string& text, const std::string& caption,
                                       Icon icon) {
    std::unique_lock lock(mutex_);
    boxes_.push_back({text, caption, icon});
    mostOpen_ = std::max(mostOpen_, ++open_);
    changed_.notify_all();
    changed_.wait(lock, [this] { return !keepOpen_; });
    --open_;
    changed_.notify_all();
}

void RecordingNotifier::KeepBoxesOpen() {
    std::lock_guard lock(mutex_);
    keepOpen_ = true;
}

void RecordingNotifier::CloseBoxes() {
    std::lock_guard lock(mutex_);
    keepOpen_ = false;
    changed_.notify_all();
}

bool RecordingNotifier::WaitOpenBoxes(int n, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return open_ >= n; });
}

int RecordingNotifier::MostOpenAtOnce() const {
    std::lock_guard lock(mutex_);
    return mostOpen_;
}

std::vector<std::string> RecordingNotifier::Balloons() const {
    std::lock_guard lock(mutex_);
    return balloons_;
}

std::vector<RecordingNotifier::MessageBox> RecordingNotifier::Boxes() const {
    std::lock_guard lock(mutex_);
    return boxes_;
}

ScriptedPrompt::ScriptedPrompt(std::vector<Answer> script)
    : script_(script.begin(), script.end()) {}

bool ScriptedPrompt::ShowLoginDialog(std::string& userName, std::string& userPwd, bool& savePwd) {
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

int ScriptedPrompt::Calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
}

void ScriptedPrompt::Restart(std::vector<Answer> script) {
    std::lock_guard lock(mutex_);
    script_.assign(script.begin(), script.end());
    seen_.clear();
    calls_ = 0;
}

ScriptedServerPrompt::ScriptedServerPrompt(std::vector<Answer> script)
    : script_(script.begin(), script.end()) {}

bool ScriptedServerPrompt::AskServerLogin(const std::string& host, std::string& userName,
                                          std::string& password) {
    std::lock_guard lock(mutex_);
    hosts_.push_back(host);
    if (script_.empty() || !script_.front()) {
        if (!script_.empty())
            script_.pop_front();
        return false;
    }
    userName = script_.front()->first;
    password = script_.front()->second;
    script_.pop_front();
    return true;
}

std::vector<std::string> ScriptedServerPrompt::Hosts() const {
    std::lock_guard lock(mutex_);
    return hosts_;
}

}  // namespace korvalo::testing
