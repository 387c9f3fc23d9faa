#include "ui/host/qt_log_sink.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QPlainTextEdit>
#include <QThread>
#include <cstdio>

#include "core/text.h"
#include "ui/toolkit/ui_thread.h"

namespace korvalo {

namespace {

// The text as the control shows it: one paragraph per line.
QString ForView(const std::string& text) {
    std::vector<std::string> lines = SplitLines(text);
    QStringList parts;
    for (const std::string& line : lines)
        parts << QString::fromStdString(line);
    return parts.join(QChar('\n'));
}

}  // namespace

QtLogSink::QtLogSink(bool echoToStderr)
    : uiContext_(std::make_unique<QObject>()), echo_(echoToStderr) {
    if (QCoreApplication* app = QCoreApplication::instance();
        app != nullptr && uiContext_->thread() != app->thread())
        uiContext_->moveToThread(app->thread());
}

QtLogSink::~QtLogSink() = default;

void QtLogSink::AttachView(QPlainTextEdit* memo) {
    std::vector<std::string> lines;
    {
        std::lock_guard lock(mutex_);
        memo_ = memo;
        pending_ = Pending{};  // the text holds them all
        if (memo_)
            lines = model_.Lines();
    }
    if (memo_) {
        memo_->clear();
        for (const std::string& line : lines)
            memo_->appendPlainText(QString::fromStdString(line));
    }
}

void QtLogSink::PrintInfo(const std::string& text) {
    {
        std::lock_guard lock(mutex_);
        model_.AppendLine(text);
        if (echo_) {
            const std::string out = ReplaceAll(text, "\r\n", "\n");
            std::fprintf(stderr, "%s\n", out.c_str());
            std::fflush(stderr);
        }
        pending_.lines.push_back(text);
        ScheduleShow();
    }
    if (UiThread::IsUiThread())
        ShowPending();
}

void QtLogSink::ClearInfo() {
    {
        std::lock_guard lock(mutex_);
        model_.Clear();
        pending_.clear = true;
        pending_.lines.clear();
        ScheduleShow();
    }
    if (UiThread::IsUiThread())
        ShowPending();
}

void QtLogSink::ScheduleShow() {
    if (showScheduled_ || UiThread::IsUiThread())
        return;
    showScheduled_ = true;
    QMetaObject::invokeMethod(
        uiContext_.get(), [this] { ShowPending(); }, Qt::QueuedConnection);
}

void QtLogSink::ShowPending() {
    Pending pending;
    QPlainTextEdit* memo = nullptr;
    {
        std::lock_guard lock(mutex_);
        std::swap(pending, pending_);
        showScheduled_ = false;
        memo = memo_;
    }
    if (memo == nullptr)
        return;
    if (pending.clear)
        memo->clear();
    if (pending.lines.empty())
        return;
    QStringList lines;
    lines.reserve(static_cast<qsizetype>(pending.lines.size()));
    for (const std::string& text : pending.lines)
        lines << ForView(text);
    memo->appendPlainText(lines.join(QChar('\n')));
}

}  // namespace korvalo
