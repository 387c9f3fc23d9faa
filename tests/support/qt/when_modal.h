#pragma once
// Helpers of the host's window tests: acting on a modal window once it is open.

#include <QApplication>
#include <QTimer>
#include <QWidget>
#include <functional>

namespace korvalo::testing {

// Calls act(window) once, as soon as a modal window is active; the call comes from the event
// loop of that window, so act may close it.
inline void WhenModal(std::function<void(QWidget*)> act) {
    auto* timer = new QTimer(QCoreApplication::instance());
    timer->setInterval(5);
    QObject::connect(timer, &QTimer::timeout, [timer, act = std::move(act)]() mutable {
        QWidget* modal = QApplication::activeModalWidget();
        if (modal == nullptr || !act)
            return;
        auto once = std::move(act);
        act = nullptr;
        timer->stop();
        timer->deleteLater();
        once(modal);
    });
    timer->start();
}

}  // namespace korvalo::testing
