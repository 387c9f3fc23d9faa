#pragma once
// What Korvalo's hosts share when they put themselves together: the path loader's and the
// update component's windows, and the end of their workers when a host ends.

#include <QWidget>
#include <functional>
#include <memory>

#include "services/pathloader/path_loader.h"
#include "services/update/update_comp.h"
#include "ui/pathloader/path_loader_environment.h"
#include "ui/update/update_environment.h"

namespace korvalo {

// The path loader's windows; their task-bar button follows the application window's
// visibility (environment.applicationWindow).
std::unique_ptr<IPathLoaderWindows> MakePathLoaderWindows(PathLoaderEnvironment environment);

// The update component's splash and message boxes, likewise.
std::unique_ptr<IUpdateWindows> MakeUpdateWindows(UpdateWindowsEnvironment environment);

// Service workers still running (their windows are gone) end at once; waits for them up to
// two seconds. Call after UiThread::Shutdown().
void EndServiceWorkers();

}  // namespace korvalo
