// The delivery plugged into the real endpoint: a browser request is signed (scripted dialog),
// its result posted to a real web service, and the browser answered afterwards.

#include <gtest/gtest.h>

#include <memory>

#include "core/text.h"
#include "services/delivery/upload.h"
#include "services/endpoint/dispatcher.h"
#include "services/endpoint/http_server.h"
#include "support/capture_server.h"
#include "support/delivery_doubles.h"
#include "support/processes.h"
#include "support/raw_client.h"

namespace korvalo {
namespace {

using testing::CaptureServer;
using testing::RecordingLog;
using testing::RecordingNotifier;
using testing::ScriptedPrompt;
using testing::TempDir;
using Texts = std::vector<std::string>;

// The message dialog signs at once; the other dialogs are not expected here.
class SigningDialog : public ISigningDialogs, public IIdCardBatchSigner {
public:
    int ShowSignMsgDialog(const SigningOptions&, const std::string& fileName,
                          std::string& signature, bool) override {
        messageFile = fileName;
        signature = std::string(100, 'S');  // wrapped into lines of 64 by the dispatcher
        return kResultSigned;
    }
    int ShowSignFileDialog(const SigningOptions&, std::string&, std::string&, int) override {
        return kResultClosed;
    }
    int ShowSignFilesDialog(const SigningOptions&, TJobList&, const std::string&) override {
        return kResultClosed;
    }
    int SignMultipleFile(TJobList&) override { return kResultClosed; }
    std::string messageFile;
};

class EndpointUploadTest : public ::testing::Test {
protected:
    void Start() {
        delivery_ = std::make_unique<TDelivery>(DeliveryServices{
            .log = log_,
            .settings = settings_,
            .notifier = notifier_,
            .credentials = prompt_,
            .stage = stage_,
            .settingsPath = (dir_ / "korvalo.ini").string(),
            .protocolFile = [] { return std::shared_ptr<TMyFile>(); },
            .unloadAvCryptMail = {},
            .serverVersion = "1.0.0.0",
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
        if (endpoint_)
            endpoint_->Close();
    }
    std::string Browse(const std::string& query) {
        return testing::Exchange(endpoint_->Port(), "GET /?" + query +
                                                        " HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                                                        "User-Agent: TestAgent/1.0\r\n\r\n");
    }

    TempDir dir_;
    RecordingLog log_;
    RecordingNotifier notifier_;
    ScriptedPrompt prompt_;
    SettingsStore settings_;
    std::atomic<int> stage_{0};
    SigningDialog dialogs_;
    std::unique_ptr<TDelivery> delivery_;
    std::unique_ptr<RequestDispatcher> dispatcher_;
    std::unique_ptr<HttpServer> endpoint_;
};

TEST_F(EndpointUploadTest, SignedRequestPostsItsResultThenAnswersTheBrowser) {
    CaptureServer service;
    Start();
    const std::string answer =
        Browse("urlToAnswer=" + service.Url("/answer") +
               "&urlToRedirect=http://portal.test/done&crpt_message=%D0%9F%D1%80%D0%B8&note=a+b");

    ASSERT_EQ(service.RequestCount(), 1u);
    const auto upload = service.Requests()[0];
    EXPECT_EQ(upload.RequestLine(), "POST /answer HTTP/1.1");
    EXPECT_EQ(upload.Header("User-Agent"), "TestAgent/1.0");
    const std::string& body = upload.body;
    EXPECT_NE(body.find("name=\"urlToRedirect\"\r\n\r\nhttp%3A%2F%2Fportal.test%2Fdone\r\n"),
              std::string::npos);
    EXPECT_NE(body.find("name=\"note\"\r\n\r\na+b\r\n"), std::string::npos);
    EXPECT_EQ(body.find("name=\"crpt_message\""), std::string::npos);
    EXPECT_NE(body.find("name=\"crpt_signature\"\r\n\r\n" + std::string(64, 'S') + "\r\n" +
                        std::string(36, 'S') + "\r\n\r\n"),
              std::string::npos);
    // The message file holds the message in code page 1251: "При".
    EXPECT_NE(body.find("Content-Type: application/x-macbinary\r\n\r\n\xCF\xF0\xE8\r\n--"),
              std::string::npos);

    EXPECT_EQ(answer.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << answer;
    EXPECT_NE(answer.find("http://portal.test/done"), std::string::npos);
    EXPECT_EQ(log_.Matching("CS1: отправка файла на сервер завершена").size(), 1u);
    EXPECT_EQ(notifier_.Balloons(), Texts{"Отправка файла завершена"});
    EXPECT_EQ(stage_.load(), 0);
}

TEST_F(EndpointUploadTest, BrowserGetsItsPageWhenTheServiceCannotBeReached) {
    Start();
    const std::string answer =
        Browse("urlToAnswer=http://127.0.0.1:" + std::to_string(testing::FreeLoopbackPort()) +
               "/answer&urlToRedirect=http://portal.test/done&crpt_message=x");
    EXPECT_EQ(answer.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << answer;
    EXPECT_NE(answer.find("http://portal.test/done"), std::string::npos);
    const Texts errors = log_.Matching("CS1 Error: 12029");
    EXPECT_EQ(errors.size(), 1u);
    EXPECT_EQ(notifier_.Boxes().size(), 1u);
    EXPECT_EQ(stage_.load(), 1);
}

}  // namespace
}  // namespace korvalo
