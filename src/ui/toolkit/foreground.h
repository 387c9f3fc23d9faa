#pragma once
// Brings a window to the front: what the signing, login and message windows do when they open.

class QWidget;

namespace korvalo {

// Restores window when it is minimised, keeps it above other windows (stay-on-top), raises and
// activates it. Returns true when it is the active window afterwards; the window system may
// grant the activation later, then the result is false although the window comes up.
// May be called from any thread; the work is handed over to the UI thread.
[[nodiscard]] bool ForceForegroundWindow(QWidget* window);

}  // namespace korvalo
