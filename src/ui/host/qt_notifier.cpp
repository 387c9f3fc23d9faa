#include "ui/host/qt_notifier.h"

#include <QMessageBox>
#include <QTimer>

#include "ui/host/main_window.h"
#include "ui/toolkit/foreground.h"
#include "ui/toolkit/ui_thread.h"

namespace korvalo {

// Once the hand-over is shut down the application is ending: nothing is shown.
void QtNotifier::ShowBalloon(const std::string& text) {
    (void)UiThread::Run([&] {
        if (window_)
            window_->ShowBalloon(QString::fromStdString(text));
    });
}

void QtNotifier::ShowMessageBox(const std::string& text, const std::string& caption, Icon icon) {
    (void)UiThread::Run([&] {
        QMessageBox box(icon == Icon::Error ? QMessageBox::Critical : QMessageBox::Information,
                        QString::fromStdString(caption), QString::fromStdString(text),
                        QMessageBox::Ok);
        box.setObjectName(QStringLiteral("MessageBox"));
        box.setWindowFlag(Qt::WindowStaysOnTopHint, true);
        // Best effort: a window manager may keep another window in front; the window works all
        // the same.
        QTimer::singleShot(0, &box, [&box] { (void)ForceForegroundWindow(&box); });
        box.exec();
    });
}

}  // namespace korvalo
