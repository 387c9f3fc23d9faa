#include "services/pathloader/path_loader_srv.h"

#include "core/text.h"

namespace korvalo {

std::string PathLoaderSrvAction(const std::string& operationName) {
    return ReplaceAll(kPathLoaderSrvActionPattern, "%operationName%", operationName);
}

bool PathLoaderSrvClient::GetDllPathAndMenu(const std::string& SoftwareID,
                                            const std::string& MenuID, std::string& Menu,
                                            std::string& Paths, std::string& Msg) {
    SoapCall call;
    call.operation = "GetDllPathAndMenu";
    call.nameSpace = kPathLoaderSrvNamespace;
    call.action = PathLoaderSrvAction(call.operation);
    call.parameters = {SoapParameter::String("SoftwareID", SoftwareID),
                       SoapParameter::String("MenuID", MenuID)};
    const SoapAnswer answer = client_.Invoke(call);
    const bool result = answer.Boolean("return");
    Menu = answer.TextOr("Menu", "");
    Paths = answer.TextOr("Paths", "");
    Msg = answer.TextOr("Msg", "");
    return result;
}

}  // namespace korvalo
