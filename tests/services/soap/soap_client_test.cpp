// The SOAP client over real HTTP: against hand-written answers of a capturing server and
// against the stand-in of the maker's services with its failure modes.

#include "services/soap/soap_client.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "services/pathloader/path_loader_srv.h"
#include "support/capture_server.h"
#include "support/delivery_doubles.h"
#include "support/files.h"
#include "support/soap_options.h"
#include "support/system_proxy_double.h"
#include "support/vendor_service_process.h"

namespace korvalo {
namespace {

using namespace std::chrono_literals;
using testing::CaptureServer;
using testing::CaptureServerOptions;
using testing::ReplyWith;
using vendortest::VendorServiceProcess;

constexpr char kSoftwareId[] = "{2A9EB3FF-6117-4CC4-BC58-647DCFEE6428}";

SoapCall PathLoaderCall() {
    SoapCall call;
    call.operation = "GetDllPathAndMenu";
    call.nameSpace = kPathLoaderSrvNamespace;
    call.action = PathLoaderSrvAction("GetDllPathAndMenu");
    call.parameters = {SoapParameter::String("SoftwareID", kSoftwareId),
                       SoapParameter::String("MenuID", "")};
    return call;
}

SoapCall UpdateCall(const std::string& operation, std::vector<SoapParameter> parameters) {
    SoapCall call;
    call.operation = operation;
    call.nameSpace = "urn:UpdateSrvIntf-IUpdateSrv";
    call.action = call.nameSpace + "#" + operation;
    call.parameters = std::move(parameters);
    return call;
}

std::string PathLoaderUrl(const VendorServiceProcess& service) {
    return service.PathLoaderEndpoint() + kPathLoaderSrvPath;
}

TEST(SoapClient, TheRequestBytesOnTheWire) {
    CaptureServerOptions options;
    options.decide = [](const testing::CapturedRequest&) {
        return ReplyWith(
            200,
            R"(<?xml version="1.0"?><SOAP-ENV:Envelope )"
            R"(xmlns:SOAP-ENV="http://schemas.xmlsoap.org/soap/envelope/" )"
            R"(xmlns:xsd="http://www.w3.org/1999/XMLSchema" )"
            R"(xmlns:xsi="http://www.w3.org/1999/XMLSchema-instance"><SOAP-ENV:Body>)"
            R"(<NS1:GetDllPathAndMenuResponse xmlns:NS1="urn:uPathLoaderIntf-IPathLoaderSrv">)"
            R"(<return xsi:type="xsd:boolean">false</return><Msg xsi:type="xsd:string">Нет</Msg>)"
            R"(</NS1:GetDllPathAndMenuResponse></SOAP-ENV:Body></SOAP-ENV:Envelope>)",
            {"Content-Type: text/xml"});
    };
    CaptureServer server(options);
    SoapClient client(testing::IsolatedSoapOptions());
    client.SetURL(server.Url("/scripts/PathLoaderSrv.dll/soap/IPathLoaderSrv"));
    const SoapCall call = PathLoaderCall();
    const SoapAnswer answer = client.Invoke(call);
    EXPECT_FALSE(answer.Boolean("return"));
    EXPECT_EQ(answer.Text("Msg"), "Нет");

    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 1u);
    const testing::CapturedRequest& request = requests[0];
    EXPECT_EQ(request.RequestLine(),
              "POST /scripts/PathLoaderSrv.dll/soap/IPathLoaderSrv HTTP/1.1");
    EXPECT_EQ(request.Header("Content-Type"), "text/xml; charset=utf-8");
    EXPECT_EQ(request.Header("SOAPAction"),
              "\"urn:uPathLoaderIntf-IPathLoaderSrv#GetDllPathAndMenu\"");
    EXPECT_EQ(request.body, BuildSoapRequest(call));
    EXPECT_EQ(request.Header("Content-Length"), std::to_string(request.body.size()));
}

TEST(SoapClient, AgainstTheStandInInEveryEncoding) {
    for (const auto& args : {std::vector<std::string>{},
                             {"--schema", "1999"},
                             {"--schema", "2000"},
                             {"--multiref"},
                             {"--multiref", "--schema", "1999"}}) {
        VendorServiceProcess service(args);
        SoapClient client(testing::IsolatedSoapOptions());
        client.SetURL(PathLoaderUrl(service));
        PathLoaderSrvClient srv(client);
        std::string menu, paths, msg = "stale";
        ASSERT_TRUE(srv.GetDllPathAndMenu(kSoftwareId, "", menu, paths, msg));
        EXPECT_EQ(menu, "Основной сервер\nРезервный сервер");
        EXPECT_EQ(paths,
                  service.Url() + "\t" + service.Url("/reserve") + "\n" + service.Url("/backup"));
        EXPECT_EQ(msg, "");
    }
}

TEST(SoapClient, TheUpdateServicesFourOperations) {
    VendorServiceProcess service;
    SoapClient client(testing::IsolatedSoapOptions());
    client.SetURL(service.Url("/soap/IUpdateSrv"));
    auto inOut = [](std::vector<SoapParameter> in) {
        in.push_back(SoapParameter::String("strErrMsg", ""));
        in.push_back(SoapParameter::Int("iErrCode", 0));
        return in;
    };
    const SoapAnswer older = client.Invoke(
        UpdateCall("CheckVersionNew", inOut({SoapParameter::String("strSoftwareID", kSoftwareId),
                                             SoapParameter::String("strVersion", "0.9.0.0")})));
    EXPECT_EQ(older.Int("iErrCode"), 2);
    EXPECT_EQ(older.Text("strErrMsg"), "1.0.0.0");
    const SoapAnswer current = client.Invoke(
        UpdateCall("CheckVersion",
                   inOut({SoapParameter::String("strModuleName", "KORVALO"),
                          SoapParameter::String("strVersion", "1.0.0.0"),
                          SoapParameter::Int("iBaseType", 0), SoapParameter::Int("iSection", 0)})));
    EXPECT_EQ(current.Int("iErrCode"), 0);
    EXPECT_EQ(current.Int("return"), 0);
    const SoapAnswer link = client.Invoke(UpdateCall(
        "GetDownloadLinkNew", inOut({SoapParameter::String("strSoftwareID", kSoftwareId)})));
    EXPECT_EQ(link.Int("iErrCode"), 0);
    EXPECT_EQ(link.Text("return"), service.Url("/download/korvalo-1.0.0.0.tar.gz"));
    const SoapAnswer unknown = client.Invoke(
        UpdateCall("GetDownloadLink", inOut({SoapParameter::String("strModuleName", "other"),
                                             SoapParameter::Int("iSection", 1)})));
    EXPECT_EQ(unknown.Int("iErrCode"), 1);
    EXPECT_FALSE(unknown.Text("strErrMsg").empty());
}

// Every status of the path loader's and the update worker's translation tables arrives as a
// transport failure with that status and the address and action in its message.
TEST(SoapClient, ErrorStatusesAreTransportFailures) {
    for (const int status : {400, 401, 403, 404, 407, 408, 500, 502, 503}) {
        VendorServiceProcess service({"--status", std::to_string(status)});
        SoapClient client(testing::IsolatedSoapOptions());
        client.SetURL(PathLoaderUrl(service));
        try {
            (void)client.Invoke(PathLoaderCall());
            ADD_FAILURE() << status << " accepted";
        } catch (const SoapTransportError& e) {
            EXPECT_EQ(e.StatusCode(), status);
            const std::string tail = " - URL:" + PathLoaderUrl(service) +
                                     " - SOAPAction:urn:uPathLoaderIntf-IPathLoaderSrv#"
                                     "GetDllPathAndMenu";
            const std::string message = e.what();
            ASSERT_GT(message.size(), tail.size()) << message;
            EXPECT_EQ(message.substr(message.size() - tail.size()), tail) << status;
        }
    }
}

TEST(SoapClient, AProxyChallengeFailsWith407AndAsksNobody) {
    CaptureServerOptions options;
    options.decide = [](const testing::CapturedRequest&) {
        return ReplyWith(407, "login", {"Proxy-Authenticate: Basic realm=\"corp\""});
    };
    CaptureServer proxy(options);
    SoapClient client(testing::IsolatedSoapOptions());
    client.SetURL("http://vendor.invalid/scripts/PathLoaderSrv.dll/soap/IPathLoaderSrv");
    client.SetProxy("127.0.0.1:" + std::to_string(proxy.Port()));
    try {
        (void)client.Invoke(PathLoaderCall());
        FAIL() << "accepted";
    } catch (const SoapTransportError& e) {
        EXPECT_EQ(e.StatusCode(), 407);
    }
    EXPECT_EQ(proxy.RequestCount(), 1u);
}

TEST(SoapClient, NetworkFailuresCarryTheirNumberAndEnglishText) {
    const std::string action = " - SOAPAction:urn:uPathLoaderIntf-IPathLoaderSrv#GetDllPathAndMenu";
    {
        const std::string url =
            "http://127.0.0.1:" + std::to_string(testing::FreeLoopbackPort()) + "/soap/x";
        SoapClient client(testing::IsolatedSoapOptions());
        client.SetURL(url);
        try {
            (void)client.Invoke(PathLoaderCall());
            ADD_FAILURE() << "a refused connection accepted";
        } catch (const SoapTransportError& e) {
            EXPECT_EQ(e.StatusCode(), 12029);
            EXPECT_EQ(
                std::string(e.what()),
                "A connection with the server could not be established - URL:" + url + action);
        }
    }
    {
        VendorServiceProcess service({"--reset"});
        SoapClient client(testing::IsolatedSoapOptions());
        client.SetURL(PathLoaderUrl(service));
        try {
            (void)client.Invoke(PathLoaderCall());
            ADD_FAILURE() << "a reset connection accepted";
        } catch (const SoapTransportError& e) {
            EXPECT_EQ(e.StatusCode(), 12031);
            EXPECT_EQ(std::string(e.what()), "The connection with the server was reset - URL:" +
                                                 PathLoaderUrl(service) + action);
        }
    }
}

TEST(SoapClient, FaultsAndGarbageAreNoTransportFailures) {
    {
        VendorServiceProcess service({"--fault", "Сервис на обслуживании"});
        SoapClient client(testing::IsolatedSoapOptions());
        client.SetURL(PathLoaderUrl(service));
        EXPECT_THROW(
            try { (void)client.Invoke(PathLoaderCall()); } catch (const SoapFault& e) {
                EXPECT_STREQ(e.what(), "Сервис на обслуживании");
                throw;
            },
            SoapFault);
    }
    {
        VendorServiceProcess service({"--garbage"});
        SoapClient client(testing::IsolatedSoapOptions());
        client.SetURL(PathLoaderUrl(service));
        try {
            (void)client.Invoke(PathLoaderCall());
            ADD_FAILURE() << "garbage accepted";
        } catch (const SoapTransportError&) {
            ADD_FAILURE() << "garbage taken for a transport failure";
        } catch (const SoapFault&) {
            ADD_FAILURE() << "garbage taken for a fault";
        } catch (const SoapError&) {
        }
    }
    {
        // The stand-in checks the action: a wrong one is the client's fault.
        VendorServiceProcess service;
        SoapClient client(testing::IsolatedSoapOptions());
        client.SetURL(PathLoaderUrl(service));
        SoapCall call = PathLoaderCall();
        call.action = "urn:other#GetDllPathAndMenu";
        EXPECT_THROW((void)client.Invoke(call), SoapFault);
    }
}

TEST(SoapClient, CancelEndsAHangingCallWithinASecondAndEveryLaterOne) {
    VendorServiceProcess service({"--hang"});
    SoapClient client(testing::IsolatedSoapOptions());
    client.SetURL(PathLoaderUrl(service));
    std::chrono::steady_clock::time_point cancelledAt;
    std::thread canceller([&] {
        std::this_thread::sleep_for(500ms);
        cancelledAt = std::chrono::steady_clock::now();
        client.Cancel();
    });
    EXPECT_THROW((void)client.Invoke(PathLoaderCall()), SoapCancelled);
    const auto ended = std::chrono::steady_clock::now();
    canceller.join();
    EXPECT_LT(ended - cancelledAt, 1000ms);
    EXPECT_THROW((void)client.Invoke(PathLoaderCall()), SoapCancelled);
}

TEST(SoapClient, ThroughAProxyWithCredentialsAndTheSystemsProxy) {
    testing::TinyProxy proxy("alice", "secret");
    VendorServiceProcess service;
    {
        SoapClient client(testing::IsolatedSoapOptions());
        client.SetURL(PathLoaderUrl(service));
        client.SetProxy("127.0.0.1:" + std::to_string(proxy.Port()));
        client.SetProxyUserName("alice");
        client.SetProxyPassword("secret");
        PathLoaderSrvClient srv(client);
        std::string menu, paths, msg;
        EXPECT_TRUE(srv.GetDllPathAndMenu(kSoftwareId, "", menu, paths, msg));
    }
    {
        // No proxy set: the system's is used, with the credentials given.
        SoapClient client(testing::IsolatedSoapOptions({"127.0.0.1", proxy.Port()}));
        client.SetURL(PathLoaderUrl(service));
        client.SetProxyUserName("alice");
        client.SetProxyPassword("wrong");
        try {
            (void)client.Invoke(PathLoaderCall());
            ADD_FAILURE() << "the proxy let a wrong password through";
        } catch (const SoapTransportError& e) {
            EXPECT_TRUE(e.StatusCode() == 407 || e.StatusCode() == 401) << e.StatusCode();
        }
    }
    EXPECT_NE(proxy.Log().find("alice"), std::string::npos) << proxy.Log();
}

}  // namespace
}  // namespace korvalo
