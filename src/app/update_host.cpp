#include "app/update_host.h"

#include <exception>

#include "app/wiring.h"
#include "core/paths.h"
#include "core/version.h"
#include "services/program/main_components.h"
#include "state/settings/user_ini.h"
#include "ui/toolkit/ui_thread.h"

namespace korvalo {

namespace {

// The caption of the path loader's windows.
constexpr const char* kDiscoveryCaption = "Korvalo: подключение к серверу";

UpdateHostOptions WithDefaults(UpdateHostOptions options) {
    if (options.programPath.empty())
        options.programPath = ExecutableFolder() + kInternalName;
    if (!options.settingsPaths) {
        const ProgramFiles files = ProgramFilesOf(options.programPath);
        options.settingsPaths = SettingsPaths{files.mainIni, files.perUserIni, files.defaultsIni};
    }
    if (!options.systemProxy)
        options.systemProxy = std::make_shared<SystemProxySource>();
    options.updateComp.executablePath = options.programPath;
    return options;
}

}  // namespace

UpdateHost::UpdateHost(UpdateHostOptions options)
    : options_(WithDefaults(std::move(options))),
      pathLoaderWindows_(MakePathLoaderWindows(options_.pathLoader)),
      updateWindows_(MakeUpdateWindows(options_.updateWindows)),
      pathLoader_(pathLoaderWindows_.get()),
      updateComp_(updateWindows_.get(), options_.updateComp) {
    UiThread::Reopen();
    SetUpMainPathLoader(pathLoader_);
    pathLoader_.SetCaption(kDiscoveryCaption);
    pathLoader_.SetSoftwareID(kSoftwareId);
    SetUpMainUpdateComp(updateComp_);
    updateComp_.SetSoftwareID(kSoftwareId);
}

UpdateHost::~UpdateHost() {
    // Workers whose windows are gone end before the host does.
    UiThread::Shutdown();
    EndServiceWorkers();
}

void UpdateHost::LoadSettings() {
    const SettingsPaths& paths = *options_.settingsPaths;
    // A settings file that cannot be made is Korvalo's to report; this host reads what there is.
    (void)PrepareUserIni(paths);
    const Settings loaded = SettingsLoader(paths, *options_.systemProxy).Load(Settings{});
    ApplyPathLoaderSettings(pathLoader_, loaded.pathLoader);
}

int UpdateHost::Fail(const std::string& message) {
    const std::string caption =
        updateComp_.ModuleName().empty() ? std::string(kInternalName) : updateComp_.ModuleName();
    (void)updateWindows_->MessageBox(message, caption, IUpdateWindows::Box::Error);
    return kUpdateHostError;
}

int UpdateHost::Run() {
    LoadSettings();
    (void)updateComp_.PrepareFiles(options_.programPath);  // always 0; failures are ignored

    try {
        if (!pathLoader_.Execute())
            return kUpdateHostNoConnection;
    } catch (const std::exception& e) {
        return Fail(e.what());
    }

    updateComp_.SetServerPath(pathLoader_.BasePath());
    updateComp_.SetLanguage(TLanguage::ru);
    updateComp_.SetProxyServer(pathLoader_.Proxy());
    updateComp_.SetProxyUser(pathLoader_.ProxyUserName());
    updateComp_.SetProxyPass(pathLoader_.ProxyPassword());
    try {
        return updateComp_.Execute();
    } catch (const std::exception& e) {
        return Fail(e.what());
    }
}

}  // namespace korvalo
