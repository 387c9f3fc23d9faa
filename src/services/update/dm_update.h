#pragma once
// The containers of the update service's SOAP client: TDataModuleUpdateThread, one per
// worker, and TDMUpdate, the application-wide one that the update component uses on the
// user-interface thread, with ConnectUpdateService.

#include <memory>
#include <string>

#include "services/soap/soap_client.h"
#include "services/update/update_srv.h"

namespace korvalo {

// One SOAP client configured for the update service (UTF-8 requests, TLS certificate errors
// ignored, any XML Schema version accepted, the transport's own connect and no-progress
// time-outs) and IUpdateSrv over it.
class UpdateSrvModule {
public:
    explicit UpdateSrvModule(SoapClientOptions soap = {}) : HTTPRIO(std::move(soap)) {}
    UpdateSrvModule(const UpdateSrvModule&) = delete;
    UpdateSrvModule& operator=(const UpdateSrvModule&) = delete;

    // Sets the address (base address + "/soap/IUpdateSrv"), the proxy (empty: the system's),
    // the proxy user name and password.
    void Configure(const std::string& baseAddress, const std::string& proxy,
                   const std::string& proxyUserName, const std::string& proxyPassword);

    SoapClient HTTPRIO;
    UpdateSrvClient Service{HTTPRIO};
};

// The worker's own container, created and freed with it.
class TDataModuleUpdateThread : public UpdateSrvModule {
public:
    using UpdateSrvModule::UpdateSrvModule;
};

// The application-wide container, used on the user-interface thread.
class TDMUpdate : public UpdateSrvModule {
public:
    using UpdateSrvModule::UpdateSrvModule;
};

// Where the application-wide TDMUpdate lives: made by the first update component, discarded
// after a failed version check and made anew by the next ConnectUpdateService. The composition
// root makes one and hands it to every update component. UI thread only.
class UpdateModuleSlot {
public:
    explicit UpdateModuleSlot(SoapClientOptions soap = {}) : soap_(std::move(soap)) {}
    virtual ~UpdateModuleSlot() = default;
    UpdateModuleSlot(const UpdateModuleSlot&) = delete;
    UpdateModuleSlot& operator=(const UpdateModuleSlot&) = delete;

    // Makes the container when there is none.
    void Create();
    // Drops the container; a client handed out earlier keeps it alive until it goes too.
    void Discard() { dmUpdate_.reset(); }
    // The container, or nullptr when there is none.
    TDMUpdate* Current() const { return dmUpdate_.get(); }

    // Makes the container when there is none, configures its client for the service at
    // baseAddress with the proxy settings and returns the client. Nothing is sent yet.
    [[nodiscard]] virtual std::shared_ptr<IUpdateSrv> ConnectUpdateService(
        const std::string& baseAddress, const std::string& proxy, const std::string& proxyUserName,
        const std::string& proxyPassword);

    // The SOAP client settings of every container and worker of the update service.
    const SoapClientOptions& Soap() const { return soap_; }

private:
    SoapClientOptions soap_;
    std::shared_ptr<TDMUpdate> dmUpdate_;
};

}  // namespace korvalo
