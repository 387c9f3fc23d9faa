#pragma once
// korvalo-update put together: a host that acts for Korvalo and runs the service-address
// discovery and then the update check, as Korvalo's own start-up never does.

#include <memory>
#include <string>

#include "platform/net/system_proxy.h"
#include "services/pathloader/path_loader.h"
#include "services/update/update_comp.h"
#include "state/settings/settings_loader.h"
#include "ui/pathloader/path_loader_environment.h"
#include "ui/update/update_environment.h"

namespace korvalo {

// Exit statuses beyond Execute's own 0, 1 and 2.
inline constexpr int kUpdateHostNoConnection = 3;  // discovery cancelled or failed
inline constexpr int kUpdateHostError = 4;         // an error, shown in an error box

// How the host is put together. The defaults are this machine's, acting for the korvalo
// executable beside the running one; tests replace what they need.
struct UpdateHostOptions {
    // The korvalo executable (default: "korvalo" in the running executable's folder): its
    // folder holds "_Renovar", and it names the settings files and the per-user folder.
    std::string programPath;
    // Korvalo's settings files (default: those of programPath).
    std::optional<SettingsPaths> settingsPaths;
    // The system proxy read when useAutoProxy is on (default: this machine's).
    std::shared_ptr<ISystemProxySource> systemProxy;
    // The windows' environments (the application window is left empty: the windows get a
    // task-bar button of their own).
    PathLoaderEnvironment pathLoader;
    UpdateWindowsEnvironment updateWindows;
    // The update component's container, version resource and updater start; its executable is
    // always programPath.
    UpdateCompEnvironment updateComp;
};

// Needs the QApplication object; lives on the UI thread.
class UpdateHost {
public:
    explicit UpdateHost(UpdateHostOptions options = {});
    ~UpdateHost();
    UpdateHost(const UpdateHost&) = delete;
    UpdateHost& operator=(const UpdateHost&) = delete;

    // Reads Korvalo's [PathLoader] and [Proxy] settings, calls PrepareFiles, runs the path
    // loader and, on success, the update component with the chosen connection's BasePath as
    // ServerPath, Language ru and the path loader's proxy values. Returns Execute's result;
    // kUpdateHostNoConnection when discovery was cancelled or failed; kUpdateHostError when
    // either component raised an error (shown in an error box first).
    [[nodiscard]] int Run();

    TPathLoader& PathLoader() { return pathLoader_; }
    TUpdateComp& UpdateComp() { return updateComp_; }
    const std::string& ProgramPath() const { return options_.programPath; }

private:
    void LoadSettings();
    int Fail(const std::string& message);

    UpdateHostOptions options_;
    std::unique_ptr<IPathLoaderWindows> pathLoaderWindows_;
    std::unique_ptr<IUpdateWindows> updateWindows_;
    TPathLoader pathLoader_;
    TUpdateComp updateComp_;
};

}  // namespace korvalo
