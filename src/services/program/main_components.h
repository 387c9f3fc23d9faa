#pragma once
// Korvalo's service-address discovery and update components as its main window holds them,
// for every host that acts for Korvalo.

#include "services/pathloader/path_loader.h"
#include "services/update/update_comp.h"
#include "state/settings/settings.h"

namespace korvalo {

// The main window's path loader: ConnectionDelay 0, AllowSetProxy on, plDefault, plRussian.
void SetUpMainPathLoader(TPathLoader& loader);

// What the settings files say of the path loader, as LoadSettings hands it over: MenuID,
// AllowSetProxy, PathLoaderURLType, the endpoint list for plCustom, the proxy and its
// credentials.
void ApplyPathLoaderSettings(TPathLoader& loader, const PathLoaderProperties& keys);

// The main window's update component: Language ru.
void SetUpMainUpdateComp(TUpdateComp& component);

}  // namespace korvalo
