#pragma once
// A real endpoint (server and dispatcher) on a free loopback port with scripted doubles, a
// temporary folder of its own and, on request, a protocol file.

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <mutex>
#include <regex>

#include "services/endpoint/dispatcher.h"
#include "services/endpoint/http_server.h"
#include "state/log/myfile.h"
#include "state/settings/settings.h"
#include "support/endpoint_doubles.h"
#include "support/files.h"
#include "support/raw_client.h"

namespace korvalo::testing {

inline constexpr const char* kVersion = "2.2.1.6";
inline constexpr const char* kCors =
    "Access-Control-Allow-Origin: *\r\nAccess-Control-Allow-Methods: POST\r\n"
    "Access-Control-Allow-Headers: Content-Type\r\n";

// A form request by GET with the browser's usual headers.
inline std::string Get(const std::string& query, const std::string& extraHeaders = "") {
    return "GET /?" + query +
           " HTTP/1.1\r\nHost: 127.0.0.1\r\nUser-Agent: TestAgent/1.0\r\n"
           "Referer: http://site/page\r\n" +
           extraHeaders + "\r\n";
}

// A POST with a body of the given type.
inline std::string Post(const std::string& body, const std::string& contentType,
                        const std::string& query = "") {
    return "POST /" + (query.empty() ? "" : "?" + query) +
           " HTTP/1.1\r\nHost: 127.0.0.1\r\nUser-Agent: TestAgent/1.0\r\n"
           "Referer: http://site/page\r\nContent-Type: " +
           contentType + "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

// Time stamps "hh:nn:ss" replaced by "hh:nn:ss" so that texts can be compared.
inline std::string NoTimes(const std::string& text) {
    static const std::regex stamp("[0-9]{2}:[0-9]{2}:[0-9]{2}");
    return std::regex_replace(text, stamp, "hh:nn:ss");
}

class EndpointFixture : public ::testing::Test {
protected:
    void TearDown() override {
        if (server_)
            server_->Close();
    }

    // Opens the endpoint; with debug the protocol file is created first.
    void Start(bool debug = false, EndpointOptions options = {}) {
        settings_.debug = debug;
        if (debug)
            protocol_ = std::make_shared<TMyFile>((root_ / "request.txt").string());
        dispatcher_ = std::make_unique<RequestDispatcher>(Services());
        options.port = 0;
        server_ = std::make_unique<HttpServer>(*dispatcher_, options);
        server_->Open();
    }

    // What a dispatcher works with: the fixture's doubles, settings and protocol file.
    DispatcherServices Services() {
        return DispatcherServices{
            .log = log_,
            .settings =
                [this] {
                    std::lock_guard lock(settingsMutex_);
                    return settings_;
                },
            .protocolFile = [this] { return protocol_; },
            .dialogs = dialogs_,
            .notifier = notifier_,
            .idCard = dialogs_,
            .uploader = uploader_,
            .stage = stage_,
            .tempFolder = tempFolder_,
            .version = kVersion,
            .maxUploads = maxUploads_,
        };
    }

    void SetSettings(const std::function<void(Settings&)>& change) {
        std::lock_guard lock(settingsMutex_);
        change(settings_);
    }

    std::string Send(const std::string& request, const std::string& host = "127.0.0.1") {
        return Exchange(server_->Port(), request, host);
    }

    std::string Protocol() const { return protocol_ ? ReadBytes(protocol_->FileName()) : ""; }

    TempDir temp_;
    const std::filesystem::path root_ = temp_.path();
    const std::string tempFolder_ = (root_ / "Korvalo").string() + "/";
    std::size_t maxUploads_ = kMaxUploads;
    RecordingLog log_;
    ScriptedDialogs dialogs_;
    RecordingNotifier notifier_;
    std::atomic<int> stage_{0};
    RecordingUploader uploader_{&stage_};
    std::mutex settingsMutex_;
    Settings settings_;
    std::shared_ptr<TMyFile> protocol_;
    std::unique_ptr<RequestDispatcher> dispatcher_;
    std::unique_ptr<HttpServer> server_;
};

}  // namespace korvalo::testing
