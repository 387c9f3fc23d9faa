// THttpClient::Exchange, the SOAP transport's way in: the answer collected whole and bounded,
// no question asked, cancellation from outside, resets told apart, and the English texts.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/net/http_client.h"
#include "platform/net/winhttp_errors.h"
#include "support/capture_server.h"
#include "support/files.h"
#include "support/processes.h"

namespace korvalo {
namespace {

using namespace std::chrono_literals;
using testing::CaptureServer;
using testing::CaptureServerOptions;
using testing::ReplyWith;
using testing::ServerAction;

HttpPostRequest Post(const std::string& url, std::string_view body = "<x/>") {
    HttpPostRequest request;
    request.url = url;
    request.headers = {{"Content-Type", "text/xml; charset=utf-8"}, {"SOAPAction", "\"a#b\""}};
    request.body = body;
    return request;
}

TEST(HttpExchange, CollectsTheAnswerWithItsStatusLineAndContentType) {
    CaptureServerOptions options;
    options.decide = [](const testing::CapturedRequest&) {
        return ReplyWith(500, "<fault/>", {"Content-Type: text/xml; charset=utf-8"});
    };
    CaptureServer server(options);
    const HttpAnswer answer = THttpClient().Exchange(Post(server.Url("/soap")));
    ASSERT_FALSE(answer.failure.has_value());
    EXPECT_EQ(answer.status, 500);
    EXPECT_EQ(answer.reason, "Internal Server Error");
    EXPECT_EQ(answer.contentType, "text/xml; charset=utf-8");
    EXPECT_EQ(answer.body, "<fault/>");
    // Only the given headers went out, in order, with the body.
    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].Header("SOAPAction"), "\"a#b\"");
    EXPECT_EQ(requests[0].body, "<x/>");
}

TEST(HttpExchange, AChallengeEndsWithItsStatusAndNobodyIsAsked) {
    CaptureServerOptions options;
    options.decide = [](const testing::CapturedRequest&) {
        return ReplyWith(407, "login", {"Proxy-Authenticate: Basic realm=\"corp\""});
    };
    CaptureServer proxy(options);
    HttpPostRequest request = Post("http://service.invalid/soap");
    request.proxy.host = "127.0.0.1";
    request.proxy.port = proxy.Port();
    const HttpAnswer answer = THttpClient().Exchange(request);
    ASSERT_FALSE(answer.failure.has_value());
    EXPECT_EQ(answer.status, 407);
    EXPECT_EQ(proxy.RequestCount(), 1u);
}

TEST(HttpExchange, ErrorsInTheServersCertificateAreIgnored) {
    testing::TempDir dir;
    const testing::CommandResult made = testing::RunCommand(
        {"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
         "-nodes", "-keyout", (dir / "key.pem").string(), "-out", (dir / "cert.pem").string(),
         "-subj", "/CN=somebody.else", "-days", "1"});
    ASSERT_EQ(made.exitCode, 0) << made.output;
    CaptureServerOptions options;
    options.certificateFile = (dir / "cert.pem").string();
    options.keyFile = (dir / "key.pem").string();
    options.decide = [](const testing::CapturedRequest&) { return ReplyWith(200, "<ok/>"); };
    CaptureServer server(options);
    // Self-signed, for another name, reached by address: accepted all the same.
    const HttpAnswer answer = THttpClient().Exchange(Post(server.Url("/soap")));
    ASSERT_FALSE(answer.failure.has_value()) << answer.failure->detail;
    EXPECT_EQ(answer.status, 200);
    EXPECT_EQ(answer.body, "<ok/>");
}

TEST(HttpExchange, AnAnswerOverTheLimitFails) {
    CaptureServerOptions options;
    options.decide = [](const testing::CapturedRequest&) {
        return ReplyWith(200, std::string(5000, 'x'));
    };
    CaptureServer server(options);
    HttpClientOptions limits;
    limits.maxResponseBytes = 4096;
    const HttpAnswer answer = THttpClient(limits).Exchange(Post(server.Url()));
    ASSERT_TRUE(answer.failure.has_value());
    EXPECT_EQ(answer.failure->number, 12152);
    EXPECT_TRUE(answer.body.empty());
}

TEST(HttpExchange, ARefusedConnectionIs12029) {
    const HttpAnswer answer = THttpClient().Exchange(
        Post("http://127.0.0.1:" + std::to_string(testing::FreeLoopbackPort()) + "/"));
    ASSERT_TRUE(answer.failure.has_value());
    EXPECT_EQ(answer.failure->number, 12029);
    EXPECT_FALSE(answer.failure->connectionReset);
    EXPECT_EQ(WinHttpErrorDescription(answer.failure->number),
              "A connection with the server could not be established");
}

// Cancelling from another thread ends a hanging exchange within about a second, whether the
// server never answers or the connection is still being made.
TEST(HttpExchange, CancellationFromOutsideEndsAHangingCallWithinASecond) {
    CaptureServerOptions options;
    options.decide = [](const testing::CapturedRequest&) {
        ServerAction hang;
        hang.kind = ServerAction::Kind::Hang;
        return hang;
    };
    CaptureServer server(options);
    std::atomic<bool> cancel{false};
    HttpPostRequest request = Post(server.Url());
    request.cancelled = [&] { return cancel.load(); };
    std::chrono::steady_clock::time_point cancelledAt;
    std::thread canceller([&] {
        ASSERT_TRUE(server.WaitForRequests(1));
        std::this_thread::sleep_for(300ms);
        cancelledAt = std::chrono::steady_clock::now();
        cancel = true;
    });
    const HttpAnswer answer = THttpClient().Exchange(request);
    const auto ended = std::chrono::steady_clock::now();
    canceller.join();
    ASSERT_TRUE(answer.failure.has_value());
    EXPECT_TRUE(answer.failure->cancelled);
    EXPECT_EQ(answer.failure->number, 12017);
    EXPECT_LT(ended - cancelledAt, 1000ms);
}

TEST(HttpExchange, ACancelledRequestIsNotSentAtAll) {
    CaptureServer server;
    HttpPostRequest request = Post(server.Url());
    request.cancelled = [] { return true; };
    const HttpAnswer answer = THttpClient().Exchange(request);
    ASSERT_TRUE(answer.failure.has_value());
    EXPECT_TRUE(answer.failure->cancelled);
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(server.RequestCount(), 0u);
}

TEST(WinHttpErrorDescription, EnglishTextsOfTheSoapTransport) {
    const std::pair<int, const char*> cases[] = {
        {12029, "A connection with the server could not be established"},
        {12031, "The connection with the server was reset"},
        {12002, "The operation timed out"},
        {12007, "The server name or address could not be resolved"},
        {12030, "The connection with the server was terminated abnormally"},
    };
    for (const auto& [number, text] : cases)
        EXPECT_EQ(WinHttpErrorDescription(number), text) << number;
    // The upload's own texts stay Russian.
    EXPECT_EQ(WinHttpErrorText(12029, ""), "12029: Не удается установить соединение с сервером");
}

}  // namespace
}  // namespace korvalo
