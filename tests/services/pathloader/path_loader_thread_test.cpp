// TPathLoaderThread against the stand-in of the maker's services: the endpoints tried in turn,
// what reaches the window, and termination.

#include "services/pathloader/path_loader_thread.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

#include "support/capture_server.h"
#include "support/files.h"
#include "support/processes.h"
#include "support/soap_options.h"
#include "support/system_proxy_double.h"
#include "support/vendor_service_process.h"

namespace korvalo {
namespace {

using namespace std::chrono_literals;
using vendortest::VendorServiceProcess;

constexpr char kSoftwareId[] = "{2A9EB3FF-6117-4CC4-BC58-647DCFEE6428}";

// What the worker handed over, recorded as a window would see it.
struct Window {
    PathLoaderRequest request;
    std::mutex mutex;
    int gets = 0;
    std::optional<std::pair<std::string, std::string>> data;
    std::optional<std::pair<std::string, int>> error;

    std::shared_ptr<TPathLoaderThread> Start(const std::string& endpoints) {
        request.APathLoaderURL = endpoints;
        request.SoftwareID = kSoftwareId;
        TPathLoaderThread::Callbacks callbacks;
        callbacks.FGetDataFromComponent = [this](PathLoaderRequest& out) {
            std::lock_guard lock(mutex);
            ++gets;
            out = request;
        };
        callbacks.FSendDataToComponent = [this](const std::string& menu, const std::string& paths) {
            std::lock_guard lock(mutex);
            data.emplace(menu, paths);
        };
        callbacks.FSendErrorToComponent = [this](const std::exception& e, int code) {
            std::lock_guard lock(mutex);
            error.emplace(e.what(), code);
        };
        return TPathLoaderThread::Create(std::move(callbacks), testing::IsolatedSoapOptions());
    }

    // Runs one attempt to its end.
    void Run(const std::string& endpoints) {
        const auto worker = Start(endpoints);
        ASSERT_TRUE(worker->WaitFor(30s));
        std::lock_guard lock(mutex);
        EXPECT_EQ(gets, 1);
        EXPECT_FALSE(data && error) << "both hand-overs";
    }
};

std::string Refused() {
    return "http://127.0.0.1:" + std::to_string(testing::FreeLoopbackPort()) +
           "/scripts/PathLoaderSrv.dll";
}

TEST(TPathLoaderThread, TranslateHttpError) {
    const std::string refused =
        "A connection with the server could not be established - URL:http://h/x - SOAPAction:a";
    const std::string reset =
        "The connection with the server was reset - URL:http://h/x - SOAPAction:a";
    const std::tuple<int, std::string, std::string> cases[] = {
        {400, "x", "Плохой запрос"},
        {401, "x", "Не авторизован"},
        {403, "x", "Запрещено"},
        {404, "x", "Ресурс не найден"},
        {407, "x", "Необходима авторизация прокси"},
        {408, "x", "Время ожидания истекло"},
        {500, "x", "Внутренняя ошибка сервера"},
        {502, "x", "Плохой шлюз"},
        {503, "x", "Сервис недоступен"},
        {12029, refused, "Невозможно установить соединение с сервером"},
        {12031, reset, "Соединение с сервером было сброшено"},
        {12029, "A CONNECTION WITH THE SERVER COULD NOT BE ESTABLISHED",
         "Невозможно установить соединение с сервером"},
        {12002, "The operation timed out - URL:u - SOAPAction:a",
         "The operation timed out - URL:u - SOAPAction:a"},
        {418, "I'm a teapot - URL:u - SOAPAction:a", "I'm a teapot - URL:u - SOAPAction:a"},
    };
    for (const auto& [code, message, text] : cases)
        EXPECT_EQ(TPathLoaderThread::TranslateHttpError(code, message), text) << code;
}

TEST(TPathLoaderThread, TheFirstEndpointDownAndTheSecondAnswering) {
    VendorServiceProcess service;
    Window window;
    window.request.MenuID = "";
    window.Run(Refused() + "\r\n" + service.PathLoaderEndpoint());
    ASSERT_TRUE(window.data.has_value());
    EXPECT_FALSE(window.error.has_value());
    EXPECT_EQ(window.data->first, "Основной сервер\nРезервный сервер");
}

TEST(TPathLoaderThread, AnEarlierRefusalIsLostWhenALaterEndpointAnswers) {
    VendorServiceProcess refusing({"--refuse", "Нет доступа"});
    VendorServiceProcess answering;
    Window window;
    window.Run(refusing.PathLoaderEndpoint() + "\n" + answering.PathLoaderEndpoint());
    EXPECT_TRUE(window.data.has_value());
    EXPECT_FALSE(window.error.has_value());
}

TEST(TPathLoaderThread, WhatTheLastEndpointReports) {
    struct Case {
        const char* what;
        std::vector<std::string> args;  // of the service on the last endpoint
        bool refusedFirst;              // an unreachable endpoint comes first
        std::string message;
        int code;
    };
    const Case cases[] = {
        {"a refusal",
         {"--refuse", "Программа не зарегистрирована"},
         false,
         "Программа не зарегистрирована",
         -1},
        {"an HTTP status", {"--status", "404"}, false, "Ресурс не найден", 404},
        {"a status after an unreachable endpoint",
         {"--status", "503"},
         true,
         "Сервис недоступен",
         503},
        {"a reset connection", {"--reset"}, false, "Соединение с сервером было сброшено", 12031},
        {"a fault", {"--fault", "Сбой сервиса"}, false, "Сбой сервиса", 0},
        // Not a transport failure: its own message, with the earlier transport code.
        {"garbage after an unreachable endpoint", {"--garbage"}, true, "", 12029},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        VendorServiceProcess service(c.args);
        Window window;
        window.Run((c.refusedFirst ? Refused() + "\r\n" : "") + service.PathLoaderEndpoint());
        ASSERT_TRUE(window.error.has_value());
        EXPECT_FALSE(window.data.has_value());
        if (!c.message.empty())
            EXPECT_EQ(window.error->first, c.message);
        else
            EXPECT_NE(window.error->first.find("SOAP"), std::string::npos) << window.error->first;
        EXPECT_EQ(window.error->second, c.code);
    }
    // Nothing listens on the only endpoint.
    Window window;
    window.Run(Refused());
    ASSERT_TRUE(window.error.has_value());
    EXPECT_EQ(window.error->first, "Невозможно установить соединение с сервером");
    EXPECT_EQ(window.error->second, 12029);
}

TEST(TPathLoaderThread, BlankLinesAreSkippedAndTheRequestCarriesTheIdentifiers) {
    testing::TempDir dir;
    VendorServiceProcess service({"--log", (dir / "log").string()});
    Window window;
    window.request.MenuID = "";
    window.Run("   \r\n\t\r\n  " + service.PathLoaderEndpoint() + " \t\r\n \r\n");
    EXPECT_TRUE(window.data.has_value());
    const auto log = testing::ReadJsonLines(dir / "log");
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0]["target"], "/scripts/PathLoaderSrv.dll/soap/IPathLoaderSrv");
    EXPECT_EQ(log[0]["soapAction"], "\"urn:uPathLoaderIntf-IPathLoaderSrv#GetDllPathAndMenu\"");
    const std::string body = log[0]["body"];
    EXPECT_NE(body.find(std::string(">") + kSoftwareId + "</SoftwareID>"), std::string::npos);
}

TEST(TPathLoaderThread, NoEndpointAtAllHandsNothingOver) {
    for (const char* endpoints : {"", " \r\n\t\r\n  "}) {
        Window window;
        window.Run(endpoints);
        EXPECT_FALSE(window.data.has_value()) << endpoints;
        EXPECT_FALSE(window.error.has_value()) << endpoints;
    }
}

TEST(TPathLoaderThread, TheProxyFromTheWindowIsUsed) {
    testing::CaptureServerOptions options;
    options.decide = [](const testing::CapturedRequest&) {
        return testing::ReplyWith(407, "", {"Proxy-Authenticate: Basic realm=\"corp\""});
    };
    testing::CaptureServer proxy(options);
    Window window;
    window.request.AProxy = "127.0.0.1:" + std::to_string(proxy.Port());
    window.Run("http://vendor.invalid/scripts/PathLoaderSrv.dll");
    ASSERT_TRUE(window.error.has_value());
    EXPECT_EQ(window.error->first, "Необходима авторизация прокси");
    EXPECT_EQ(window.error->second, 407);
}

TEST(TPathLoaderThread, TerminateEndsAHangingCallWithinASecondWithoutAWord) {
    VendorServiceProcess service({"--hang"});
    Window window;
    const auto worker = window.Start(service.PathLoaderEndpoint());
    std::this_thread::sleep_for(500ms);
    EXPECT_FALSE(worker->WaitFor(0ms));
    worker->Terminate();
    ASSERT_TRUE(worker->WaitFor(1000ms));
    std::lock_guard lock(window.mutex);
    EXPECT_FALSE(window.data.has_value());
    EXPECT_FALSE(window.error.has_value());
    EXPECT_TRUE(TPathLoaderThread::WaitForAll(5s));
}

}  // namespace
}  // namespace korvalo
