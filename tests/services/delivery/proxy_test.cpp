// Uploads through a proxy: tinyproxy with Basic authentication, and a Basic-auth proxy of the
// test's own for what tinyproxy cannot do (passwords with "@" and ":", refused tunnels).

#include <gtest/gtest.h>

#include "core/base64.h"
#include "services/delivery/upload_fixture.h"
#include "state/settings/profile_file.h"
#include "support/capture_server.h"
#include "support/processes.h"

namespace korvalo {
namespace {

using testing::CapturedRequest;
using testing::CaptureServer;
using testing::CaptureServerOptions;
using testing::ScriptedPrompt;
using testing::TinyProxy;
using testing::UploadFixture;
using Texts = std::vector<std::string>;

constexpr const char* kChallengeLine = "407 Требуется авторизация";
constexpr const char* kDoneLine = "CS1: отправка файла на сервер завершена";

ScriptedPrompt::Answer Confirm(const std::string& user, const std::string& password) {
    return std::make_pair(user, password);
}

class ProxyTest : public UploadFixture {
protected:
    void UseProxy(int port, const std::string& user = "", const std::string& password = "") {
        settings_.Update([&](Settings& s) {
            s.proxyAddress = "127.0.0.1";
            s.proxyPort = port;
            s.userName = user;
            s.userPwd = password;
        });
    }
    std::string StoredAccess() const {
        return ProfileFile(ini_.string()).ReadString("Proxy", "proxyAccess", "<none>");
    }
};

TEST_F(ProxyTest, ChallengeDuringThePostIsAnsweredAndTheRetryDelivers) {
    TinyProxy proxy("user", "pass");
    CaptureServer server;
    UseProxy(proxy.Port());
    Make({Confirm("user", "pass")});
    Upload(Job(server.Url("/answer"), "the signed file"));

    EXPECT_EQ(prompt_->Calls(), 1);
    ASSERT_EQ(server.RequestCount(), 1u) << proxy.Log();
    const CapturedRequest request = server.Requests()[0];
    EXPECT_TRUE(request.complete);
    EXPECT_NE(request.body.find("the signed file"), std::string::npos);
    EXPECT_EQ(log_.Matching(kChallengeLine).size(), 1u);
    EXPECT_EQ(log_.Matching(kDoneLine).size(), 1u);
    EXPECT_EQ(stage_.load(), 0);
    EXPECT_EQ(settings_.Snapshot().proxyAccess, "dXNlcjpwYXNz");
    EXPECT_EQ(StoredAccess(), "dXNlcjpwYXNz");

    // The next upload uses the credentials at once.
    Upload(Job(server.Url("/answer")));
    EXPECT_EQ(prompt_->Calls(), 1);
    EXPECT_EQ(server.RequestCount(), 2u);
}

TEST_F(ProxyTest, CancelledDialogAsksAgainOnCompletionAndSendsNothingMore) {
    TinyProxy proxy("user", "pass");
    CaptureServer server;
    UseProxy(proxy.Port());
    Make({std::nullopt, std::nullopt});
    Upload(Job(server.Url("/answer")));

    EXPECT_EQ(prompt_->Calls(), 2);  // the authentication event, then the completion handler
    EXPECT_EQ(server.RequestCount(), 0u);
    EXPECT_EQ(log_.Matching(kChallengeLine).size(), 1u);
    EXPECT_TRUE(log_.Matching(kDoneLine).empty());
    EXPECT_TRUE(log_.Matching("CS1 Error").empty());
    EXPECT_EQ(stage_.load(), 0);
    EXPECT_EQ(settings_.Snapshot().proxyAccess, "");
    EXPECT_EQ(StoredAccess(), "<none>");
}

// tinyproxy answers wrong proxy credentials with 401 and WWW-Authenticate, which on a plain
// request cannot be told from the web server's own 401: it gets the server prompt (naming the
// web server), whose answer goes to the web server only; the proxy credentials are left alone.
// A refused tunnel is the proxy's for sure: there the proxy dialog replaces them.
TEST_F(ProxyTest, StaleStoredCredentialsAndTinyproxysUnauthorized) {
    TinyProxy proxy("user", "pass");
    CaptureServer server;
    UseProxy(proxy.Port(), "user", "stale");
    Make({Confirm("user", "pass")}, {}, {Confirm("web", "guess")});
    Upload(Job(server.Url("/")));
    EXPECT_EQ(prompt_->Calls(), 0);
    EXPECT_EQ(serverPrompt_->Hosts(), Texts{"127.0.0.1:" + std::to_string(server.Port())});
    EXPECT_EQ(server.RequestCount(), 0u) << proxy.Log();
    EXPECT_EQ(settings_.Snapshot().userPwd, "stale");
    EXPECT_EQ(StoredAccess(), "<none>");

    // The same through a tunnel (an https address): tinyproxy refuses the CONNECT with 401.
    log_.ClearInfo();
    Make({Confirm("user", "pass")}, {}, {});
    Upload(Job("https://127.0.0.1:" + std::to_string(server.Port()) + "/"));
    EXPECT_EQ(prompt_->Calls(), 1) << proxy.Log();
    EXPECT_TRUE(serverPrompt_->Hosts().empty());
    EXPECT_EQ(log_.Matching(kChallengeLine).size(), 1u);
    EXPECT_EQ(settings_.Snapshot().userPwd, "pass");
    EXPECT_EQ(StoredAccess(), "dXNlcjpwYXNz");
}

// Behind a proxy a web server asks for its own login: the answer reaches the server only (in
// Authorization), the proxy keeps getting its own stored credentials, and nothing is stored.
TEST_F(ProxyTest, TheServersAnswerNeverGoesToTheProxy) {
    const std::string proxyLogin = "Basic " + Base64Encode("user:pass");
    const std::string webLogin = "Basic " + Base64Encode("web:secret");
    CaptureServerOptions options;
    // A proxy that passes the request to a web server behind it, which asks for its login.
    options.decide = [&](const CapturedRequest& r) {
        if (r.Header("Proxy-Authorization") != proxyLogin)
            return testing::ReplyWith(407, "", {"Proxy-Authenticate: Basic realm=\"proxy\""});
        if (r.Header("Authorization") != webLogin)
            return testing::ReplyWith(401, "", {"WWW-Authenticate: Basic realm=\"portal\""});
        return testing::ReplyWith(200);
    };
    CaptureServer proxy(options);
    UseProxy(proxy.Port(), "user", "pass");
    settings_.Update([](Settings& s) { s.proxyAccess = "dXNlcjpwYXNz"; });
    Make({}, {}, {Confirm("web", "secret")});
    Upload(Job("http://portal.test/answer"));
    EXPECT_EQ(serverPrompt_->Hosts(), Texts{"portal.test"});
    EXPECT_EQ(prompt_->Calls(), 0);
    // The probe for the proxy's methods, the request with the proxy's credentials (the web
    // server asks), the repeat with the server's answer as well.
    const auto requests = proxy.Requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0].Header("Proxy-Authorization"), std::nullopt);
    EXPECT_EQ(requests[1].Header("Proxy-Authorization"), proxyLogin);
    EXPECT_EQ(requests[1].Header("Authorization"), std::nullopt);
    EXPECT_EQ(requests[2].Header("Proxy-Authorization"), proxyLogin);
    EXPECT_EQ(requests[2].Header("Authorization"), webLogin);
    EXPECT_EQ(log_.Matching(kDoneLine).size(), 1u);
    EXPECT_EQ(settings_.Snapshot().proxyAccess, "dXNlcjpwYXNz");
    EXPECT_EQ(settings_.Snapshot().userPwd, "pass");
    EXPECT_EQ(StoredAccess(), "<none>");
}

TEST_F(ProxyTest, ProxyThatRefusesEveryCredentialCostsTwoDialogsAndNoLoop) {
    CaptureServerOptions options;
    options.decide = testing::BasicAuthProxy("user", "pass");
    CaptureServer proxy(options);
    UseProxy(proxy.Port(), "user", "stale");
    Make({Confirm("user", "wrong"), Confirm("user", "pass")});
    Upload(Job("http://portal.test/answer"));

    EXPECT_EQ(prompt_->Calls(), 2);  // the authentication event, then the completion handler
    // The probe, the stale credentials, the dialog's credentials; no more.
    EXPECT_EQ(proxy.RequestCount(), 3u);
    EXPECT_TRUE(log_.Matching(kDoneLine).empty());
    EXPECT_EQ(stage_.load(), 0);
    // The completion handler's answer is kept for the next upload.
    EXPECT_EQ(settings_.Snapshot().userPwd, "pass");
    Upload(Job("http://portal.test/answer"));
    EXPECT_EQ(prompt_->Calls(), 2);
    EXPECT_EQ(log_.Matching(kDoneLine).size(), 1u);
}

TEST_F(ProxyTest, PasswordWithAtSignAndColonReachesTheProxyIntact) {
    // tinyproxy cannot be given such a password; the test's own proxy checks it.
    CaptureServerOptions options;
    options.decide = testing::BasicAuthProxy("user", "p@ss:w0rd");
    CaptureServer proxy(options);
    UseProxy(proxy.Port());
    Make({Confirm("user", "p@ss:w0rd")});
    const std::string target = "http://portal.test:8080/answer";
    Upload(Job(target));

    ASSERT_EQ(proxy.RequestCount(), 2u);
    const auto requests = proxy.Requests();
    EXPECT_EQ(requests[0].RequestLine(), "POST " + target + " HTTP/1.1");
    EXPECT_EQ(requests[1].Header("Proxy-Authorization"), "Basic " + Base64Encode("user:p@ss:w0rd"));
    EXPECT_EQ(log_.Matching(kDoneLine).size(), 1u);

    // Stored credentials are offered to the proxy's challenge, with no dialog.
    Upload(Job(target));
    EXPECT_EQ(prompt_->Calls(), 1);
    ASSERT_GE(proxy.RequestCount(), 3u);
    EXPECT_EQ(proxy.Requests().back().Header("Proxy-Authorization"),
              "Basic " + Base64Encode("user:p@ss:w0rd"));
    EXPECT_EQ(log_.Matching(kDoneLine).size(), 2u);
}

TEST_F(ProxyTest, TunnelRefusedAgainAfterNewCredentialsIsTheResendError) {
    CaptureServerOptions options;
    options.decide = testing::BasicAuthProxy("user", "pass");  // every CONNECT gets 407
    CaptureServer proxy(options);
    UseProxy(proxy.Port());
    Make({Confirm("user", "pass"), std::nullopt});
    Upload(Job("https://portal.test/answer"));

    EXPECT_EQ(proxy.RequestCount(), 2u);
    EXPECT_EQ(proxy.Requests()[0].RequestLine(), "CONNECT portal.test:443 HTTP/1.1");
    const Texts errors = log_.Matching("CS1 Error: ");
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].rfind("CS1 Error: 12032: ", 0), 0u) << errors[0];
    EXPECT_EQ(log_.Matching("407 Требуется авторизация (12032)").size(), 1u);
    EXPECT_EQ(prompt_->Calls(), 2);  // the authentication event, then the error handler
    EXPECT_EQ(stage_.load(), 1);
}

TEST_F(ProxyTest, ProxyThatCannotBeReachedIsReported) {
    struct Case {
        std::string host;
        int port;
        std::string number;
    };
    const Case cases[] = {
        {"127.0.0.1", testing::FreeLoopbackPort(), "12029"},
        {"no-such-proxy.invalid", 3128, "12007"},
    };
    for (const Case& c : cases) {
        log_.ClearInfo();
        settings_.Update([&](Settings& s) {
            s.proxyAddress = c.host;
            s.proxyPort = c.port;
        });
        Make();
        Upload(Job("http://portal.test/answer"));
        const Texts errors = log_.Matching("CS1 Error: ");
        ASSERT_EQ(errors.size(), 1u) << c.host;
        EXPECT_EQ(errors[0].rfind("CS1 Error: " + c.number + ": ", 0), 0u) << errors[0];
    }
    EXPECT_EQ(notifier_.Boxes().size(), 1u);  // only the refused connection
}

}  // namespace
}  // namespace korvalo
