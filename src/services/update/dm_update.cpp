#include "services/update/dm_update.h"

namespace korvalo {

void UpdateSrvModule::Configure(const std::string& baseAddress, const std::string& proxy,
                                const std::string& proxyUserName,
                                const std::string& proxyPassword) {
    HTTPRIO.SetURL(baseAddress + kUpdateSrvPath);
    HTTPRIO.SetProxy(proxy);
    HTTPRIO.SetProxyUserName(proxyUserName);
    HTTPRIO.SetProxyPassword(proxyPassword);
}

void UpdateModuleSlot::Create() {
    if (!dmUpdate_)
        dmUpdate_ = std::make_shared<TDMUpdate>(soap_);
}

std::shared_ptr<IUpdateSrv> UpdateModuleSlot::ConnectUpdateService(
    const std::string& baseAddress, const std::string& proxy, const std::string& proxyUserName,
    const std::string& proxyPassword) {
    Create();
    dmUpdate_->Configure(baseAddress, proxy, proxyUserName, proxyPassword);
    return std::shared_ptr<IUpdateSrv>(dmUpdate_, &dmUpdate_->Service);
}

}  // namespace korvalo
