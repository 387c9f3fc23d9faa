#pragma once
// WorkerLink: the tie between a window and the service worker it started, used on the UI
// thread only. The window cuts it when it lets the worker go, so that no later hand-over of
// that worker reaches the window, not even one already on its way; a destroyed window is never
// reached either.

#include <QPointer>

namespace korvalo {

template <typename Window>
class WorkerLink {
public:
    explicit WorkerLink(Window* window) : window_(window) {}
    // The window, or nullptr once the link is cut or the window is gone.
    Window* Get() const { return attached_ ? window_.data() : nullptr; }
    void Cut() { attached_ = false; }
    bool Attached() const { return attached_; }

private:
    QPointer<Window> window_;
    bool attached_ = true;
};

}  // namespace korvalo
