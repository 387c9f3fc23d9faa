#include "app/wiring.h"

#include <algorithm>
#include <chrono>

#include "services/pathloader/path_loader_thread.h"
#include "services/update/update_thread.h"
#include "ui/pathloader/qt_path_loader_windows.h"
#include "ui/update/qt_update_windows.h"

namespace korvalo {

std::unique_ptr<IPathLoaderWindows> MakePathLoaderWindows(PathLoaderEnvironment environment) {
    return std::make_unique<QtPathLoaderWindows>(std::move(environment));
}

std::unique_ptr<IUpdateWindows> MakeUpdateWindows(UpdateWindowsEnvironment environment) {
    return std::make_unique<QtUpdateWindows>(std::move(environment));
}

void EndServiceWorkers() {
    TPathLoaderThread::TerminateAll();
    TUpdateThread::TerminateAll();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    // A worker still running after that ends with the process; nothing waits for it.
    (void)TPathLoaderThread::WaitForAll(std::chrono::seconds(2));
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    (void)TUpdateThread::WaitForAll(std::max(left, std::chrono::milliseconds(0)));
}

}  // namespace korvalo
