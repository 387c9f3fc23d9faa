#pragma once
// The activity log of the main window: PrintInfo and ClearInfo from any thread, shown in Memo1.

#include <QObject>
#include <QPointer>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/log_sink.h"
#include "state/log/log_model.h"

class QPlainTextEdit;

namespace korvalo {

// Keeps the log text (LogModel, whose length any thread may read) and shows it in the log
// control. PrintInfo and ClearInfo change the text at once, on the calling thread, and never
// wait for the UI thread: the control follows on the UI thread, with every line that arrived
// meanwhile in one step, in the order the lines arrived (on the UI thread itself at once).
// Once the application's event loop no longer runs, lines still reach the text (and the
// standard error stream, when echoed) but no longer the control.
class QtLogSink : public ILogSink {
public:
    // echoToStderr: every line is also written to the standard error stream, for runs
    // without a visible window.
    explicit QtLogSink(bool echoToStderr = false);
    ~QtLogSink() override;

    // Shows the log in memo (UI thread); the lines so far are put into it.
    void AttachView(QPlainTextEdit* memo);

    void PrintInfo(const std::string& text) override;
    void ClearInfo() override;
    std::size_t LogLength() const override { return model_.Length(); }

    // The lines as kept (any thread).
    const LogModel& Model() const { return model_; }

private:
    // What the control has still to show: a clearing first, then lines.
    struct Pending {
        bool clear = false;
        std::vector<std::string> lines;
    };

    // Asks the UI thread to show what is pending, unless it has been asked already. Called
    // with mutex_ held.
    void ScheduleShow();
    // UI thread: brings the control up to date.
    void ShowPending();

    LogModel model_;
    std::mutex mutex_;  // the order of lines in the text, the echo and the control
    Pending pending_;
    bool showScheduled_ = false;
    // Where the control's updates run: an object of the UI thread, whose queued calls end
    // with it.
    std::unique_ptr<QObject> uiContext_;
    QPointer<QPlainTextEdit> memo_;
    bool echo_;
};

}  // namespace korvalo
