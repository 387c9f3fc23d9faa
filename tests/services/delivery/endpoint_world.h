#pragma once
// The real endpoint with the real delivery behind it: dialogs, prompts and the notifier
// scripted, the log recorded, the temporary folder private to the test.

#include <gtest/gtest.h>

#include <atomic>
#include <memory>

#include "platform/net/http_client.h"
#include "services/delivery/upload.h"
#include "services/endpoint/dispatcher.h"
#include "services/endpoint/http_server.h"
#include "state/settings/settings.h"
#include "support/delivery_doubles.h"
#include "support/endpoint_doubles.h"
#include "support/files.h"

namespace korvalo::testing {

class EndpointWorld : public ::testing::Test {
protected:
    // Opens the endpoint on a free loopback port; uploads go out with `client`'s options.
    void StartEndpoint(const HttpClientOptions& client = {}) {
        delivery_ = std::make_unique<TDelivery>(DeliveryServices{
            .log = log_,
            .settings = settings_,
            .notifier = notifier_,
            .credentials = prompt_,
            .serverLogin = serverPrompt_,
            .stage = stage_,
            .settingsPath = (dir_ / "korvalo.ini").string(),
            .protocolFile = [] { return std::shared_ptr<TMyFile>(); },
            .unloadAvCryptMail = {},
            .serverVersion = "1.0.0.0",
            .client = client,
        });
        dispatcher_ = std::make_unique<RequestDispatcher>(DispatcherServices{
            .log = log_,
            .settings = [this] { return settings_.Snapshot(); },
            .protocolFile = [] { return std::shared_ptr<TMyFile>(); },
            .dialogs = dialogs_,
            .notifier = notifier_,
            .idCard = dialogs_,
            .uploader = *delivery_,
            .stage = stage_,
            .tempFolder = (dir_ / "Korvalo").string() + "/",
            .version = "1.0.0.0",
        });
        EndpointOptions options;
        options.port = 0;
        endpoint_ = std::make_unique<HttpServer>(*dispatcher_, options);
        endpoint_->Open();
    }
    void TearDown() override {
        notifier_.CloseBoxes();
        if (endpoint_)
            endpoint_->Close();
    }

    TempDir dir_;
    RecordingLog log_;
    RecordingNotifier notifier_;
    ScriptedPrompt prompt_;
    ScriptedServerPrompt serverPrompt_;
    ScriptedDialogs dialogs_;
    SettingsStore settings_;
    std::atomic<int> stage_{0};
    std::unique_ptr<TDelivery> delivery_;
    std::unique_ptr<RequestDispatcher> dispatcher_;
    std::unique_ptr<HttpServer> endpoint_;
};

}  // namespace korvalo::testing
