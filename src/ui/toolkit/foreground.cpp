#include "ui/toolkit/foreground.h"

#include <QApplication>
#include <QPointer>
#include <QWidget>
#include <QWindow>

#include "ui/toolkit/ui_thread.h"

namespace korvalo {

namespace {

[[nodiscard]] bool BringToFront(QWidget* window) {
    if (window->isMinimized())
        window->setWindowState((window->windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    if (window->isVisible() && window->isActiveWindow())
        return true;
    if (!window->windowFlags().testFlag(Qt::WindowStaysOnTopHint)) {
        // Changing the flags of a shown window hides it; show it again.
        const bool wasVisible = window->isVisible();
        window->setWindowFlag(Qt::WindowStaysOnTopHint, true);
        if (wasVisible)
            window->show();
    }
    window->raise();
    window->activateWindow();
    if (QWindow* handle = window->windowHandle())
        handle->requestActivate();
    return window->isActiveWindow();
}

}  // namespace

bool ForceForegroundWindow(QWidget* window) {
    if (window == nullptr)
        return false;
    QPointer<QWidget> guarded(window);
    return UiThread::Call([&] { return guarded ? BringToFront(guarded) : false; }).value_or(false);
}

}  // namespace korvalo
