#include "ui/host/qt_log_sink.h"

#include <QPlainTextEdit>
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

void QtLogSink::AttachView(QPlainTextEdit* memo) {
    memo_ = memo;
    if (memo_) {
        memo_->clear();
        for (const std::string& line : model_.Lines())
            memo_->appendPlainText(QString::fromStdString(line));
    }
}

// Once the hand-over is shut down the application is ending: the line is dropped.
void QtLogSink::PrintInfo(const std::string& text) {
    (void)UiThread::Run([&] { AppendOnUi(text); });
}

void QtLogSink::ClearInfo() {
    (void)UiThread::Run([&] { ClearOnUi(); });
}

void QtLogSink::AppendOnUi(const std::string& text) {
    model_.AppendLine(text);
    if (memo_)
        memo_->appendPlainText(ForView(text));
    if (echo_) {
        std::string out = ReplaceAll(text, "\r\n", "\n");
        std::fprintf(stderr, "%s\n", out.c_str());
        std::fflush(stderr);
    }
}

void QtLogSink::ClearOnUi() {
    model_.Clear();
    if (memo_)
        memo_->clear();
}

}  // namespace korvalo
