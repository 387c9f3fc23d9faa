#include "ui/update/qt_update_windows.h"

#include <QMessageBox>
#include <QTimer>

#include "ui/toolkit/foreground.h"
#include "ui/toolkit/ui_thread.h"
#include "ui/update/fm_splash_renovar.h"

namespace korvalo {

UpdateVerdict QtUpdateWindows::ShowUpdateSplash(const UpdateSplashArgs& args) {
    return korvalo::ShowUpdateSplash(environment_, args);
}

bool QtUpdateWindows::MessageBox(const std::string& text, const std::string& caption, Box box) {
    return UiThread::Call([&] {
               const bool question = box == Box::Question;
               QMessageBox window(question            ? QMessageBox::Question
                                  : box == Box::Error ? QMessageBox::Critical
                                                      : QMessageBox::NoIcon,
                                  QString::fromStdString(caption), QString::fromStdString(text),
                                  question ? QMessageBox::Yes | QMessageBox::No : QMessageBox::Ok);
               window.setObjectName(QStringLiteral("MessageBox"));
               if (question)
                   window.setDefaultButton(QMessageBox::Yes);
               window.setWindowModality(Qt::ApplicationModal);
               window.setWindowFlag(Qt::WindowStaysOnTopHint, true);
               QTimer::singleShot(0, &window, [&window] { ForceForegroundWindow(&window); });
               const int answer = window.exec();
               return question ? answer == QMessageBox::Yes : true;
           })
        .value_or(false);
}

}  // namespace korvalo
