#pragma once
// Helpers of the host's window tests: acting on a modal window once it is open.

#include <QApplication>
#include <QTimer>
#include <QWidget>
#include <functional>

namespace korvalo::testing {

// Calls act(window) once, as soon as a modal window of type T is active; the call comes from
// the event loop of that window, so act may close it.
template <typename T>
void WhenModalWindow(std::function<void(T*)> act) {
    auto* timer = new QTimer(QCoreApplication::instance());
    timer->setInterval(5);
    QObject::connect(timer, &QTimer::timeout, [timer, act = std::move(act)]() mutable {
        T* modal = qobject_cast<T*>(QApplication::activeModalWidget());
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

// The same for a modal window of any type.
inline void WhenModal(std::function<void(QWidget*)> act) {
    WhenModalWindow<QWidget>(std::move(act));
}

}  // namespace korvalo::testing
