#pragma once
// The main window's start-up update check.

namespace korvalo {

// Called at start-up when "checkupdate" is 1. It returns 0 at once: no window, no service
// call, no program started, no log line; neither the path loader nor the update component is
// run.
inline int CheckUpdate() {
    return 0;
}

}  // namespace korvalo
