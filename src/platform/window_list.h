#pragma once
// The desktop's top-level windows by title: the X11 window list when a display is there.

#include <functional>
#include <string>

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

// Whether the X display named by DISPLAY can be opened.
bool DisplayReachable();

// Hides window (withdraws it from the screen). Nothing happens for 0, without a display, or
// when the window no longer exists.
void HideDesktopWindow(DesktopWindow window);

}  // namespace korvalo
