// korvalo-vendor-service as a program: its port, its catalog, the requests it refuses, the
// failure modes that only some calls get, its log, and its IPv6 loopback.

#include <gtest/gtest.h>

#include <chrono>

#include "catalog.h"
#include "services/pathloader/path_loader_srv.h"
#include "services/pathloader/vendor_addresses.h"
#include "services/soap/soap_client.h"
#include "support/files.h"
#include "support/http_exchange.h"
#include "support/raw_client.h"
#include "support/soap_options.h"
#include "support/system_proxy_double.h"
#include "support/vendor_service_process.h"

namespace korvalo {
namespace {

using testing::TempDir;
using vendortest::VendorServiceProcess;

constexpr char kSoftwareId[] = "{2A9EB3FF-6117-4CC4-BC58-647DCFEE6428}";

// GetDllPathAndMenu on the service: the result, with menu and paths or the refusal text.
struct PathAnswer {
    bool result = false;
    std::string menu, paths, msg;
};

PathAnswer AskPaths(const VendorServiceProcess& service, const std::string& softwareId,
                    const std::string& menuId,
                    const std::string& endpointPath = "/scripts/PathLoaderSrv.dll") {
    SoapClient client(testing::IsolatedSoapOptions());
    client.SetURL(service.Url(endpointPath) + kPathLoaderSrvPath);
    PathLoaderSrvClient srv(client);
    PathAnswer answer;
    answer.result =
        srv.GetDllPathAndMenu(softwareId, menuId, answer.menu, answer.paths, answer.msg);
    return answer;
}

std::string Raw(const VendorServiceProcess& service, const std::string& request) {
    return testing::HttpExchange(service.port(), request).value_or("");
}

TEST(VendorService, TheDefaultPortIsThatOfTheBuiltInEndpoints) {
    const testing::CommandResult printed =
        testing::RunCommand({vendortest::VendorServiceExecutable(), "--default-port"});
    EXPECT_EQ(printed.exitCode, 0);
    EXPECT_EQ(printed.output, "48090\n");
    EXPECT_NE(std::string(kDefaultPathLoaderEndpoints[0]).find(":48090/"), std::string::npos);
    for (const auto& args : {std::vector<std::string>{"--nonsense"},
                             {"--port", "x"},
                             {"--status", "404", "--hang"},
                             {"--fail-on-call", "1"}}) {
        std::vector<std::string> argv{vendortest::VendorServiceExecutable()};
        argv.insert(argv.end(), args.begin(), args.end());
        EXPECT_EQ(testing::RunCommand(argv).exitCode, 2) << args[0];
    }
    EXPECT_EQ(testing::RunCommand({vendortest::VendorServiceExecutable(), "--port", "0", "--config",
                                   "/nonexistent/catalog.json"})
                  .exitCode,
              1);
}

TEST(VendorService, AnswersFromItsCatalog) {
    TempDir dir;
    testing::WriteBytes(dir / "catalog.json", R"({"software": [
        {"id": "{A}", "module": "alpha", "version": "2.1.0.0",
         "download": "${SELF}/get/alpha",
         "menus": {"": [{"name": "Один", "paths": ["${SELF}/one"]}],
                   "7": [{"name": "Семь", "paths": ["http://seven/a", "http://seven/b"]},
                         {"name": "Восемь", "paths": []}]}}
    ]})");
    VendorServiceProcess service({"--config", (dir / "catalog.json").string()});
    PathAnswer byDefault = AskPaths(service, "{A}", "");
    EXPECT_TRUE(byDefault.result);
    EXPECT_EQ(byDefault.menu, "Один");
    EXPECT_EQ(byDefault.paths, service.Url("/one"));
    PathAnswer seven = AskPaths(service, "{A}", "7");
    EXPECT_EQ(seven.menu, "Семь\nВосемь");
    EXPECT_EQ(seven.paths, "http://seven/a\thttp://seven/b\n");
    // Any folder in front of the service's path works (the test list's endpoint has one).
    EXPECT_TRUE(AskPaths(service, "{A}", "", "/test/scripts/PathLoaderSrv.dll").result);
    const PathAnswer unknownMenu = AskPaths(service, "{A}", "9");
    EXPECT_FALSE(unknownMenu.result);
    EXPECT_FALSE(unknownMenu.msg.empty());
    EXPECT_FALSE(AskPaths(service, kSoftwareId, "").result);  // not in this catalog
}

TEST(VendorService, RefusesWhatIsNoSoapCall) {
    VendorServiceProcess service;
    EXPECT_NE(Raw(service, "GET / HTTP/1.1\r\nHost: x\r\n\r\n").find("HTTP/1.1 200"),
              std::string::npos);
    EXPECT_NE(Raw(service,
                  "GET /scripts/PathLoaderSrv.dll/soap/IPathLoaderSrv HTTP/1.1\r\n"
                  "Host: x\r\n\r\n")
                  .find("HTTP/1.1 405"),
              std::string::npos);
    EXPECT_NE(Raw(service, "POST /other HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\n\r\n")
                  .find("HTTP/1.1 404"),
              std::string::npos);
    const std::string wrongType =
        Raw(service,
            "POST /soap/IUpdateSrv HTTP/1.1\r\nHost: x\r\nContent-Type: application/json\r\n"
            "SOAPAction: \"urn:UpdateSrvIntf-IUpdateSrv#CheckVersionNew\"\r\nContent-Length: "
            "2\r\n\r\n{}");
    EXPECT_NE(wrongType.find("HTTP/1.1 500"), std::string::npos);
    EXPECT_NE(wrongType.find("faultstring"), std::string::npos);
    const std::string notXml =
        Raw(service,
            "POST /soap/IUpdateSrv HTTP/1.1\r\nHost: x\r\nContent-Type: text/xml\r\n"
            "SOAPAction: \"urn:UpdateSrvIntf-IUpdateSrv#CheckVersionNew\"\r\nContent-Length: "
            "3\r\n\r\nabc");
    EXPECT_NE(notXml.find("SOAP-ENV:Client"), std::string::npos);
}

TEST(VendorService, AFailureModeForSomeCallsOnlyAndTheLog) {
    TempDir dir;
    VendorServiceProcess service(
        {"--status", "503", "--fail-on-call", "2", "--log", (dir / "log").string()});
    EXPECT_TRUE(AskPaths(service, kSoftwareId, "").result);
    EXPECT_THROW(AskPaths(service, kSoftwareId, ""), SoapTransportError);
    EXPECT_TRUE(AskPaths(service, kSoftwareId, "").result);
    const auto log = testing::ReadJsonLines(dir / "log");
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0]["method"], "POST");
    EXPECT_EQ(log[0]["contentType"], "text/xml; charset=utf-8");
    EXPECT_EQ(log[0]["status"], 200);
    EXPECT_EQ(log[1]["status"], 503);
    EXPECT_NE(log[2]["answer"].get<std::string>().find("GetDllPathAndMenuResponse"),
              std::string::npos);
}

TEST(VendorService, ASlowAnswerIsTheServicesOwnAfterTheDelay) {
    VendorServiceProcess service({"--slow", "400", "--fail-on-call", "1"});
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(AskPaths(service, kSoftwareId, "").result);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(400));
    EXPECT_TRUE(AskPaths(service, kSoftwareId, "").result);
}

TEST(VendorService, ListensOnTheIpv6LoopbackToo) {
    VendorServiceProcess service;
    try {
        testing::RawConnection connection("::1", service.port());
        connection.Send("GET / HTTP/1.1\r\nHost: x\r\n\r\n");
        EXPECT_NE(connection.ReadAll().find("HTTP/1.1 200"), std::string::npos);
    } catch (const std::exception& e) {
        GTEST_SKIP() << "no IPv6 loopback here: " << e.what();
    }
}

TEST(VendorCatalog, VersionsCompareNumberByNumber) {
    using vendorservice::CompareVersions;
    EXPECT_LT(CompareVersions("1.9.0.0", "1.10.0.0"), 0);
    EXPECT_EQ(CompareVersions("1.0", "1.0.0.0"), 0);
    EXPECT_GT(CompareVersions("2.0.0.1", "2.0.0.0"), 0);
    EXPECT_LT(CompareVersions("", "0.0.0.1"), 0);
    EXPECT_EQ(CompareVersions("x.y", "0.0"), 0);
}

}  // namespace
}  // namespace korvalo
