#include "services/program/main_components.h"

namespace korvalo {

void SetUpMainPathLoader(TPathLoader& loader) {
    loader.SetConnectionDelay(0);
    loader.SetAllowSetProxy(true);
    loader.SetPathLoaderURLType(TPathLoaderURLType::plDefault);
    loader.SetLanguage(TPathLoaderLanguage::plRussian);
}

void ApplyPathLoaderSettings(TPathLoader& loader, const PathLoaderProperties& keys) {
    loader.SetMenuID(keys.MenuID);
    loader.SetAllowSetProxy(keys.AllowSetProxy);
    loader.SetPathLoaderURLType(keys.PathLoaderURLType);
    if (keys.PathLoaderURLType == TPathLoaderURLType::plCustom)
        loader.SetPathLoaderURL(keys.PathLoaderURL);
    loader.SetProxy(keys.Proxy);
    loader.SetProxyUserName(keys.ProxyUserName);
    loader.SetProxyPassword(keys.ProxyPassword);
}

void SetUpMainUpdateComp(TUpdateComp& component) {
    component.SetLanguage(TLanguage::ru);
}

}  // namespace korvalo
