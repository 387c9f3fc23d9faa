#include "services/update/update_srv.h"

namespace korvalo {

std::string UpdateSrvAction(const std::string& operationName) {
    return std::string(kUpdateSrvNamespace) + "#" + operationName;
}

SoapAnswer UpdateSrvClient::Call(const std::string& operation,
                                 std::vector<SoapParameter> parameters, std::string& strErrMsg,
                                 int& iErrCode) {
    SoapCall call;
    call.operation = operation;
    call.nameSpace = kUpdateSrvNamespace;
    call.action = UpdateSrvAction(operation);
    call.parameters = std::move(parameters);
    call.parameters.push_back(SoapParameter::String("strErrMsg", strErrMsg));
    call.parameters.push_back(SoapParameter::Int("iErrCode", iErrCode));
    const SoapAnswer answer = client_.Invoke(call);
    if (answer.Has("strErrMsg"))
        strErrMsg = answer.Text("strErrMsg");
    if (answer.Has("iErrCode"))
        iErrCode = answer.Int("iErrCode");
    return answer;
}

namespace {

int IntResult(const SoapAnswer& answer) {
    return answer.Has("return") ? answer.Int("return") : 0;
}

}  // namespace

int UpdateSrvClient::CheckVersion(const std::string& strModuleName, const std::string& strVersion,
                                  int iBaseType, int iSection, std::string& strErrMsg,
                                  int& iErrCode) {
    return IntResult(
        Call("CheckVersion",
             {SoapParameter::String("strModuleName", strModuleName),
              SoapParameter::String("strVersion", strVersion),
              SoapParameter::Int("iBaseType", iBaseType), SoapParameter::Int("iSection", iSection)},
             strErrMsg, iErrCode));
}

int UpdateSrvClient::CheckVersionNew(const std::string& strSoftwareID,
                                     const std::string& strVersion, std::string& strErrMsg,
                                     int& iErrCode) {
    return IntResult(Call("CheckVersionNew",
                          {SoapParameter::String("strSoftwareID", strSoftwareID),
                           SoapParameter::String("strVersion", strVersion)},
                          strErrMsg, iErrCode));
}

std::string UpdateSrvClient::GetDownloadLink(const std::string& strModuleName, int iSection,
                                             std::string& strErrMsg, int& iErrCode) {
    return Call("GetDownloadLink",
                {SoapParameter::String("strModuleName", strModuleName),
                 SoapParameter::Int("iSection", iSection)},
                strErrMsg, iErrCode)
        .TextOr("return", "");
}

std::string UpdateSrvClient::GetDownloadLinkNew(const std::string& strSoftwareID,
                                                std::string& strErrMsg, int& iErrCode) {
    return Call("GetDownloadLinkNew", {SoapParameter::String("strSoftwareID", strSoftwareID)},
                strErrMsg, iErrCode)
        .TextOr("return", "");
}

}  // namespace korvalo
