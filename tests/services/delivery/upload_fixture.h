#pragma once
// The delivery as the main window assembles it, with recording doubles around it.

#include <gtest/gtest.h>

#include <atomic>
#include <memory>

#include "services/delivery/upload.h"
#include "services/delivery/upload_outcome.h"
#include "state/log/myfile.h"
#include "support/delivery_doubles.h"

namespace korvalo::testing {

class UploadFixture : public ::testing::Test {
protected:
    // Builds the delivery with the prompt scripts (the proxy's, the web server's) and client
    // options given.
    void Make(std::vector<ScriptedPrompt::Answer> script = {}, HttpClientOptions options = {},
              std::vector<ScriptedPrompt::Answer> serverScript = {}) {
        prompt_ = std::make_unique<ScriptedPrompt>(std::move(script));
        serverPrompt_ = std::make_unique<ScriptedServerPrompt>(std::move(serverScript));
        uploader_ = std::make_unique<TDelivery>(DeliveryServices{
            .log = log_,
            .settings = settings_,
            .notifier = notifier_,
            .credentials = *prompt_,
            .serverLogin = *serverPrompt_,
            .stage = stage_,
            .settingsPath = ini_.string(),
            .protocolFile = [this] { return protocol_; },
            .unloadAvCryptMail = [this] { ++unloads_; },
            .serverVersion = "1.0.0.0",
            .client = options,
        });
    }

    // What the dispatcher does: stage 1, then the upload.
    void Upload(const UploadJob& job) {
        stage_.store(1);
        uploader_->UploadSignature(job);
    }

    UploadJob Job(const std::string& url, const std::string& fileBytes = "file bytes") {
        WriteBytes(dir_ / "message.htm", fileBytes);
        UploadJob job;
        job.url = url;
        job.signature = "MIIBsig==\r\n";
        job.fileName = (dir_ / "message.htm").string();
        job.paramList = {"urlToAnswer=" + url, "urlToRedirect=http://portal.test/done"};
        job.userAgent = "Mozilla/5.0 (X11; Linux x86_64)";
        return job;
    }

    TempDir dir_;
    std::filesystem::path ini_ = dir_ / "korvalo.ini";
    RecordingLog log_;
    RecordingNotifier notifier_;
    SettingsStore settings_;
    std::atomic<int> stage_{0};
    std::atomic<int> unloads_{0};
    std::shared_ptr<TMyFile> protocol_;
    std::unique_ptr<ScriptedPrompt> prompt_;
    std::unique_ptr<ScriptedServerPrompt> serverPrompt_;
    std::unique_ptr<TDelivery> uploader_;
};

}  // namespace korvalo::testing
