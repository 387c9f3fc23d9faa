#pragma once
// The activity log of the main window: PrintInfo and ClearInfo from any thread, shown in Memo1.

#include <QPointer>
#include <cstddef>
#include <string>

#include "core/log_sink.h"
#include "state/log/log_model.h"

class QPlainTextEdit;

namespace korvalo {

// Keeps the log text (LogModel, whose length any thread may read) and shows it in the log
// control. PrintInfo and ClearInfo hand their work to the UI thread and wait until it is done;
// on the UI thread they run at once. After the hand-over has been shut down (the application
// ends) lines from other threads are dropped.
class QtLogSink : public ILogSink {
public:
    // echoToStderr: every line is also written to the standard error stream, for runs
    // without a visible window.
    explicit QtLogSink(bool echoToStderr = false) : echo_(echoToStderr) {}

    // Shows the log in memo (UI thread); the lines so far are put into it.
    void AttachView(QPlainTextEdit* memo);

    void PrintInfo(const std::string& text) override;
    void ClearInfo() override;
    std::size_t LogLength() const override { return model_.Length(); }

    // The lines as kept (UI thread or tests).
    const LogModel& Model() const { return model_; }

private:
    void AppendOnUi(const std::string& text);
    void ClearOnUi();

    LogModel model_;
    QPointer<QPlainTextEdit> memo_;
    bool echo_;
};

}  // namespace korvalo
