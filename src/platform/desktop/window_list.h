#pragma once
// The desktop's top-level windows by title: the X11 window list when a display is there.

#include <functional>
#include <memory>
#include <string>

struct _XDisplay;

namespace korvalo {

// A top-level window of the desktop (an X11 window id); 0 is no window.
using DesktopWindow = unsigned long;

// Goes through the top-level windows (the window manager's client list and the children of
// the root window) and returns the first one whose title (UTF-8) match accepts, or 0. Without
// a display (DISPLAY unset or unreachable) the list is empty.
DesktopWindow FindDesktopWindow(const std::function<bool(const std::string& title)>& match);

// Asks the window manager to show no task-bar (and pager) entry for window. Takes effect when
// the window is mapped next: call it while the window is hidden. Nothing happens for 0 or
// without a display.
void MarkSkipTaskbar(DesktopWindow window);

// A connection to the X display named by DISPLAY, held open while this lives. Opening it tells
// whether the display is reachable; holding it until the toolkit has opened its own keeps the
// server from resetting in between (an X server resets when its last client leaves, and a
// connection made during the reset fails).
class DisplayConnection {
public:
    // Opens the connection; reachable() is false when DISPLAY is unset or cannot be opened.
    DisplayConnection();
    bool reachable() const { return display_ != nullptr; }
    // Closes the connection early; the destructor does the same.
    void Close() { display_.reset(); }

private:
    struct Closer {
        void operator()(_XDisplay* display) const;
    };
    std::unique_ptr<_XDisplay, Closer> display_;
};

// Hides window (withdraws it from the screen). Nothing happens for 0, without a display, or
// when the window no longer exists.
void HideDesktopWindow(DesktopWindow window);

}  // namespace korvalo
