#pragma once
// The update service interface IUpdateSrv and its SOAP client.

#include <string>
#include <vector>

#include "services/soap/soap_client.h"

namespace korvalo {

// The service's address below its base address, and its namespace.
inline constexpr const char* kUpdateSrvPath = "/soap/IUpdateSrv";
inline constexpr const char* kUpdateSrvNamespace = "urn:UpdateSrvIntf-IUpdateSrv";

// The SOAPAction of an operation: the namespace, "#" and the operation's name.
std::string UpdateSrvAction(const std::string& operationName);

// The maker's update service. In/out parameters are sent with their current value and take
// the value of the answer.
class IUpdateSrv {
public:
    virtual ~IUpdateSrv() = default;
    // The older check by module name, base type and section.
    virtual int CheckVersion(const std::string& strModuleName, const std::string& strVersion,
                             int iBaseType, int iSection, std::string& strErrMsg,
                             int& iErrCode) = 0;
    // Whether strVersion of the software strSoftwareID is current: iErrCode 2 means a newer
    // version exists (strErrMsg is then its version text), 1 that the service reports an error
    // (strErrMsg says which), any other value that the version is current.
    virtual int CheckVersionNew(const std::string& strSoftwareID, const std::string& strVersion,
                                std::string& strErrMsg, int& iErrCode) = 0;
    // The older download address by module name and section.
    virtual std::string GetDownloadLink(const std::string& strModuleName, int iSection,
                                        std::string& strErrMsg, int& iErrCode) = 0;
    // The download address of the newest version; iErrCode 0 on success, otherwise strErrMsg
    // says what went wrong.
    virtual std::string GetDownloadLinkNew(const std::string& strSoftwareID, std::string& strErrMsg,
                                           int& iErrCode) = 0;
};

// IUpdateSrv over a SOAP client, whose address and proxy the caller sets. Every operation
// throws what SoapClient::Invoke throws, and SoapError when a value of the answer is not of
// its type. A value the answer lacks leaves its parameter as it was (a result: 0 or empty).
class UpdateSrvClient : public IUpdateSrv {
public:
    explicit UpdateSrvClient(SoapClient& client) : client_(client) {}

    int CheckVersion(const std::string& strModuleName, const std::string& strVersion, int iBaseType,
                     int iSection, std::string& strErrMsg, int& iErrCode) override;
    int CheckVersionNew(const std::string& strSoftwareID, const std::string& strVersion,
                        std::string& strErrMsg, int& iErrCode) override;
    std::string GetDownloadLink(const std::string& strModuleName, int iSection,
                                std::string& strErrMsg, int& iErrCode) override;
    std::string GetDownloadLinkNew(const std::string& strSoftwareID, std::string& strErrMsg,
                                   int& iErrCode) override;

private:
    // Sends the call with the in-values of strErrMsg and iErrCode last, and reads them back.
    SoapAnswer Call(const std::string& operation, std::vector<SoapParameter> parameters,
                    std::string& strErrMsg, int& iErrCode);

    SoapClient& client_;
};

}  // namespace korvalo
