#include "ui/update/qt_update_windows.h"

#include <QPushButton>
#include <QTimer>

#include "ui/toolkit/foreground.h"
#include "ui/toolkit/ui_thread.h"
#include "ui/update/fm_splash_renovar.h"

namespace korvalo {

std::unique_ptr<QMessageBox> MakeUpdateMessageBox(const std::string& text,
                                                  const std::string& caption,
                                                  IUpdateWindows::Box box) {
    const bool question = box == IUpdateWindows::Box::Question;
    const QMessageBox::Icon icon = question                            ? QMessageBox::Question
                                   : box == IUpdateWindows::Box::Error ? QMessageBox::Critical
                                                                       : QMessageBox::NoIcon;
    auto window = std::make_unique<QMessageBox>(
        icon, QString::fromStdString(caption), QString::fromStdString(text),
        question ? QMessageBox::Yes | QMessageBox::No : QMessageBox::Ok);
    window->setObjectName(QStringLiteral("MessageBox"));
    if (question) {
        window->button(QMessageBox::Yes)->setText(QStringLiteral("Да"));
        window->button(QMessageBox::No)->setText(QStringLiteral("Нет"));
        window->setDefaultButton(QMessageBox::Yes);
    }
    window->setWindowModality(Qt::ApplicationModal);
    window->setWindowFlag(Qt::WindowStaysOnTopHint, true);
    return window;
}

UpdateVerdict QtUpdateWindows::ShowUpdateSplash(const UpdateSplashArgs& args) {
    return korvalo::ShowUpdateSplash(environment_, args);
}

bool QtUpdateWindows::MessageBox(const std::string& text, const std::string& caption, Box box) {
    return UiThread::Call([&] {
               const std::unique_ptr<QMessageBox> window = MakeUpdateMessageBox(text, caption, box);
               QMessageBox* shown = window.get();
               // Raised at once; the window system may grant the activation later.
               QTimer::singleShot(0, shown, [shown] { (void)ForceForegroundWindow(shown); });
               const int answer = window->exec();
               return box == Box::Question ? answer == QMessageBox::Yes : true;
           })
        .value_or(false);
}

}  // namespace korvalo
