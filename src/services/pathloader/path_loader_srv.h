#pragma once
// The path-loader service interface IPathLoaderSrv and its SOAP client.

#include <string>

#include "services/soap/soap_client.h"

namespace korvalo {

// The service's address below an endpoint, its namespace and its SOAPAction pattern.
inline constexpr const char* kPathLoaderSrvPath = "/soap/IPathLoaderSrv";
inline constexpr const char* kPathLoaderSrvNamespace = "urn:uPathLoaderIntf-IPathLoaderSrv";
inline constexpr const char* kPathLoaderSrvActionPattern =
    "urn:uPathLoaderIntf-IPathLoaderSrv#%operationName%";

// The path-loader service.
class IPathLoaderSrv {
public:
    virtual ~IPathLoaderSrv() = default;
    // Asks which connections (Menu: names, one a line) and paths (Paths: one line per
    // connection, its paths separated by TAB) the software SoftwareID is to use with the menu
    // MenuID. True: Menu and Paths are valid; false: the service refuses and Msg says why.
    [[nodiscard]] virtual bool GetDllPathAndMenu(const std::string& SoftwareID,
                                                 const std::string& MenuID, std::string& Menu,
                                                 std::string& Paths, std::string& Msg) = 0;
};

// The SOAPAction of an operation: the registered pattern with the operation's name in place of
// "%operationName%".
std::string PathLoaderSrvAction(const std::string& operationName);

// IPathLoaderSrv over a SOAP client, whose address and proxy the caller sets.
class PathLoaderSrvClient : public IPathLoaderSrv {
public:
    explicit PathLoaderSrvClient(SoapClient& client) : client_(client) {}

    // Throws what SoapClient::Invoke throws; SoapError when the answer lacks its result.
    [[nodiscard]] bool GetDllPathAndMenu(const std::string& SoftwareID, const std::string& MenuID,
                                         std::string& Menu, std::string& Paths,
                                         std::string& Msg) override;

private:
    SoapClient& client_;
};

}  // namespace korvalo
