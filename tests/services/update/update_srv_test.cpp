// The update service's client and the worker TUpdateThread: the request on the wire, the four
// operations against the stand-in of the maker's services, and what reaches the window.

#include "services/update/update_thread.h"

#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <optional>

#include "core/text.h"
#include "services/update/dm_update.h"
#include "services/update/update_srv.h"
#include "support/capture_server.h"
#include "support/files.h"
#include "support/processes.h"
#include "support/soap_options.h"
#include "support/system_proxy_double.h"
#include "support/vendor_service_process.h"
#include "support/wait.h"

namespace korvalo {
namespace {

using namespace std::chrono_literals;
using testing::CaptureServer;
using testing::CaptureServerOptions;
using testing::TempDir;
using vendortest::VendorServiceProcess;

constexpr char kSoftwareId[] = "{2A9EB3FF-6117-4CC4-BC58-647DCFEE6428}";

// A catalog whose newest Korvalo is 2.0.0.0.
std::string WriteCatalog(const TempDir& dir) {
    testing::WriteBytes(dir / "catalog.json", std::string(R"({"software": [
        {"id": ")") + kSoftwareId + R"(", "module": "korvalo", "version": "2.0.0.0",
         "download": "${SELF}/download/korvalo 2.0.0.0.tar.gz", "menus": {}}]})");
    return (dir / "catalog.json").string();
}

TEST(UpdateSrv, CheckVersionNewOnTheWireWithItsInOutValues) {
    CaptureServerOptions options;
    options.decide = [](const testing::CapturedRequest&) {
        return testing::ReplyWith(
            200,
            R"(<?xml version="1.0"?><SOAP-ENV:Envelope )"
            R"(xmlns:SOAP-ENV="http://schemas.xmlsoap.org/soap/envelope/" )"
            R"(xmlns:xsd="http://www.w3.org/2001/XMLSchema" )"
            R"(xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance"><SOAP-ENV:Body>)"
            R"(<NS1:CheckVersionNewResponse xmlns:NS1="urn:UpdateSrvIntf-IUpdateSrv">)"
            R"(<return xsi:type="xsd:int">2</return>)"
            R"(<strErrMsg xsi:type="xsd:string">2.0.0.0</strErrMsg>)"
            R"(<iErrCode xsi:type="xsd:int">2</iErrCode>)"
            R"(</NS1:CheckVersionNewResponse></SOAP-ENV:Body></SOAP-ENV:Envelope>)",
            {"Content-Type: text/xml"});
    };
    CaptureServer server(options);
    TDataModuleUpdateThread module(testing::IsolatedSoapOptions());
    module.Configure(server.Url("/base"), "", "", "");

    // First with the values a worker starts from, then with others: both go out as they are.
    std::string message;
    int code = 0;
    EXPECT_EQ(module.Service.CheckVersionNew(kSoftwareId, "1.0.0.0", message, code), 2);
    EXPECT_EQ(message, "2.0.0.0");
    EXPECT_EQ(code, 2);
    std::string other = "было & <так>";
    int otherCode = 7;
    (void)module.Service.CheckVersionNew("{X}", "0.9", other, otherCode);

    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].RequestLine(), "POST /base/soap/IUpdateSrv HTTP/1.1");
    EXPECT_EQ(requests[0].Header("SOAPAction"), "\"urn:UpdateSrvIntf-IUpdateSrv#CheckVersionNew\"");
    EXPECT_EQ(requests[0].Header("Content-Type"), "text/xml; charset=utf-8");
    const std::string operation =
        std::string(R"(<NS1:CheckVersionNew xmlns:NS1="urn:UpdateSrvIntf-IUpdateSrv">)") +
        R"(<strSoftwareID xsi:type="xsd:string">)" + kSoftwareId + "</strSoftwareID>" +
        R"(<strVersion xsi:type="xsd:string">1.0.0.0</strVersion>)" +
        R"(<strErrMsg xsi:type="xsd:string"></strErrMsg>)" +
        R"(<iErrCode xsi:type="xsd:int">0</iErrCode>)" + "</NS1:CheckVersionNew>";
    EXPECT_NE(requests[0].body.find(operation), std::string::npos) << requests[0].body;
    EXPECT_NE(requests[1].body.find(R"(<strErrMsg xsi:type="xsd:string">было &amp; &lt;так&gt;)"
                                    R"(</strErrMsg><iErrCode xsi:type="xsd:int">7</iErrCode>)"),
              std::string::npos)
        << requests[1].body;
}

TEST(UpdateSrv, TheFourOperationsAgainstTheStandIn) {
    TempDir dir;
    VendorServiceProcess service({"--config", WriteCatalog(dir)});
    UpdateModuleSlot slot(testing::IsolatedSoapOptions());
    const std::shared_ptr<IUpdateSrv> client =
        slot.ConnectUpdateService(service.Url("/any/where"), "", "", "");
    ASSERT_NE(slot.Current(), nullptr);
    EXPECT_EQ(slot.Current()->HTTPRIO.URL(), service.Url("/any/where/soap/IUpdateSrv"));

    std::string message;
    int code = 0;
    EXPECT_EQ(client->CheckVersionNew(kSoftwareId, "1.9.9.9", message, code), 2);
    EXPECT_EQ(message, "2.0.0.0");
    EXPECT_EQ(code, 2);
    message.clear();
    code = 0;
    (void)client->CheckVersion("KORVALO", "2.0.0.0", 1, 2, message, code);
    EXPECT_EQ(code, 0);
    EXPECT_EQ(message, "");
    EXPECT_EQ(client->GetDownloadLinkNew(kSoftwareId, message, code),
              service.Url("/download/korvalo 2.0.0.0.tar.gz"));
    EXPECT_EQ(code, 0);
    EXPECT_EQ(client->GetDownloadLink("other", 3, message, code), "");
    EXPECT_EQ(code, 1);
    EXPECT_FALSE(message.empty());

    // Discarded: a client handed out keeps working; the next connection makes a new container.
    slot.Discard();
    EXPECT_EQ(slot.Current(), nullptr);
    code = 0;
    (void)client->CheckVersionNew(kSoftwareId, "2.0.0.0", message, code);
    EXPECT_EQ(code, 0);
    (void)slot.ConnectUpdateService(service.Url(), "", "", "");
    EXPECT_NE(slot.Current(), nullptr);
}

TEST(UpdateThread, TranslateHttpErrorHasItsOwnWords) {
    const struct {
        int code;
        std::string message;
        std::string text;
    } cases[] = {
        {400, "Bad Request", "Некорректный запрос"},
        {401, "", "Не авторизован"},
        {403, "", "Запрещено"},
        {404, "", "Ресурс не найден"},
        {407, "", "Необходима авторизация прокси"},
        {408, "", "Время ожидания истекло"},
        {500, "", "Внутренняя ошибка сервера"},
        {502, "Bad Gateway", "Некорректный шлюз"},
        {503, "", "Сервис недоступен"},
        {12029, "A Connection With The Server Could Not Be Established - URL:x",
         "Невозможно установить соединение с сервером"},
        // No case for a reset connection: the transport's words go on unchanged.
        {12030, "The connection with the server was reset - URL:x",
         "The connection with the server was reset - URL:x"},
        {418, "I'm a teapot", "I'm a teapot"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(TUpdateThread::TranslateHttpError(c.code, c.message), c.text) << c.code;
}

// What the worker handed over, recorded as a window would see it.
struct Window {
    std::mutex mutex;
    UpdateCheckRequest request;
    int gets = 0;
    std::optional<std::pair<std::string, int>> data;
    std::optional<std::string> error;

    std::shared_ptr<TUpdateThread> Start(const std::string& url,
                                         const std::string& version = "1.0.0.0") {
        request.SoftwareID = kSoftwareId;
        request.Version = version;
        request.URL = url;
        TUpdateThread::Callbacks callbacks;
        callbacks.FGetDataFromForm = [this](UpdateCheckRequest& out) {
            std::lock_guard lock(mutex);
            ++gets;
            out = request;
        };
        callbacks.FSendDataToForm = [this](const std::string& message, int code) {
            std::lock_guard lock(mutex);
            data.emplace(message, code);
        };
        callbacks.FSendErrorToForm = [this](const std::exception& e) {
            std::lock_guard lock(mutex);
            error = e.what();
        };
        return TUpdateThread::Create(std::move(callbacks), testing::IsolatedSoapOptions());
    }
};

TEST(UpdateThread, TheVerdictOrTheFailureReachesTheWindow) {
    TempDir dir;
    const std::string catalog = WriteCatalog(dir);
    struct Case {
        std::vector<std::string> options;
        std::string version;
        std::optional<std::pair<std::string, int>> data;  // as the window reads it (UTF-8)
        std::optional<std::string> error;
    };
    const Case cases[] = {
        {{}, "1.0.0.0", std::pair<std::string, int>{"2.0.0.0", 2}, {}},
        {{}, "2.0.0.0", std::pair<std::string, int>{"", 0}, {}},
        // Characters outside code page 1251 are lost on the way to the window.
        {{"--refuse", "Сервер ✓ занят – ждите"},
         "1.0.0.0",
         std::pair<std::string, int>{"Сервер ? занят – ждите", 1},
         {}},
        {{"--status", "502"}, "1.0.0.0", {}, "Некорректный шлюз"},
        {{"--status", "400"}, "1.0.0.0", {}, "Некорректный запрос"},
        {{"--fault", "Служба на обслуживании"}, "1.0.0.0", {}, "Служба на обслуживании"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> options = {"--config", catalog};
        options.insert(options.end(), c.options.begin(), c.options.end());
        VendorServiceProcess service(options);
        Window window;
        auto worker = window.Start(service.Url("/upd"), c.version);
        ASSERT_TRUE(worker->WaitFor(20s));
        std::lock_guard lock(window.mutex);
        EXPECT_EQ(window.gets, 1);
        if (c.data) {
            ASSERT_TRUE(window.data) << (window.error ? *window.error : "");
            EXPECT_EQ(FromCp1251(window.data->first), c.data->first);
            EXPECT_EQ(window.data->second, c.data->second);
            EXPECT_FALSE(window.error);
        } else {
            ASSERT_TRUE(window.error);
            EXPECT_EQ(*window.error, *c.error);
            EXPECT_FALSE(window.data);
        }
    }
}

TEST(UpdateThread, AnUnreachableServiceCannotBeConnected) {
    Window window;
    auto worker =
        window.Start("http://127.0.0.1:" + std::to_string(testing::FreeLoopbackPort()) + "/x");
    ASSERT_TRUE(worker->WaitFor(20s));
    std::lock_guard lock(window.mutex);
    ASSERT_TRUE(window.error);
    EXPECT_EQ(*window.error, "Невозможно установить соединение с сервером");
}

TEST(UpdateThread, ATerminatedWorkerEndsAtOnceAndTellsNobody) {
    TempDir dir;
    VendorServiceProcess service({"--hang", "--log", (dir / "log").string()});
    Window window;
    auto worker = window.Start(service.Url());
    // The call is under way once the service has read it.
    ASSERT_TRUE(
        testing::WaitUntil([&] { return !testing::ReadJsonLines(dir / "log").empty(); }, 20s));
    TUpdateThread::TerminateAll();
    ASSERT_TRUE(TUpdateThread::WaitForAll(5s));
    EXPECT_TRUE(worker->Terminated());
    std::lock_guard lock(window.mutex);
    EXPECT_FALSE(window.data);
    EXPECT_FALSE(window.error);
}

}  // namespace
}  // namespace korvalo
