// The handlers of the upload's notifications, called directly.

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "core/base64.h"
#include "services/delivery/upload_outcome.h"
#include "state/settings/profile_file.h"
#include "support/delivery_doubles.h"

namespace korvalo {
namespace {

using testing::ReadBytes;
using testing::RecordingLog;
using testing::RecordingNotifier;
using testing::ScriptedPrompt;
using testing::ScriptedServerPrompt;
using testing::TempDir;
using testing::WriteBytes;
using Texts = std::vector<std::string>;

class OutcomeTest : public ::testing::Test {
protected:
    void Make(std::vector<ScriptedPrompt::Answer> script,
              std::vector<ScriptedPrompt::Answer> serverScript = {}) {
        prompt_ = std::make_unique<ScriptedPrompt>(std::move(script));
        serverPrompt_ = std::make_unique<ScriptedServerPrompt>(std::move(serverScript));
        outcome_ =
            std::make_unique<TUploadOutcome>(log_, settings_, notifier_, *prompt_, *serverPrompt_,
                                             stage_, ini_.string(), [this] { ++unloads_; });
    }
    std::string StoredAccess() const {
        return ProfileFile(ini_.string()).ReadString("proxy", "proxyAccess", "<none>");
    }

    TempDir dir_;
    std::filesystem::path ini_ = dir_ / "korvalo.ini";
    RecordingLog log_;
    RecordingNotifier notifier_;
    SettingsStore settings_;
    std::atomic<int> stage_{1};
    int unloads_ = 0;
    std::unique_ptr<ScriptedPrompt> prompt_;
    std::unique_ptr<ScriptedServerPrompt> serverPrompt_;
    std::unique_ptr<TUploadOutcome> outcome_;
};

TEST_F(OutcomeTest, ConfirmedCredentialsAreEncodedKeptAndStoredAtOnce) {
    struct Case {
        std::string user;
        std::string password;
        std::string stored;
    };
    const Case cases[] = {
        {"", "", "Og=="},  // a single colon
        {"user", "pass", "dXNlcjpwYXNz"},
        {"ivan", "пароль", Base64Encode("ivan:??????")},  // no ASCII: question marks
        {"u", "p@ss:w0rd", Base64Encode("u:p@ss:w0rd")},
    };
    for (const Case& c : cases) {
        Make({std::make_pair(c.user, c.password)});
        EXPECT_TRUE(outcome_->AskProxyCredentials());
        const Settings s = settings_.Snapshot();
        EXPECT_EQ(s.userName, c.user);
        EXPECT_EQ(s.userPwd, c.password);
        EXPECT_EQ(s.proxyAccess, c.stored);
        EXPECT_EQ(StoredAccess(), c.stored) << c.password;
    }
    EXPECT_NE(ReadBytes(ini_).find("[Proxy]"), std::string::npos);
}

TEST_F(OutcomeTest, CancelledDialogForgetsProxyAccessOnlyInMemory) {
    WriteBytes(ini_, "[proxy]\nproxyAddress=proxy.test\nproxyAccess=b2xkOm9sZA==\n");
    settings_.Update([](Settings& s) {
        s.userName = "old";
        s.userPwd = "old";
        s.proxyAccess = "b2xkOm9sZA==";
    });
    Make({std::nullopt});
    EXPECT_FALSE(outcome_->AskProxyCredentials());
    const Settings s = settings_.Snapshot();
    EXPECT_EQ(s.proxyAccess, "");
    EXPECT_EQ(s.userName, "old");
    EXPECT_EQ(s.userPwd, "old");
    EXPECT_EQ(ReadBytes(ini_), "[proxy]\nproxyAddress=proxy.test\nproxyAccess=b2xkOm9sZA==\n");
    EXPECT_EQ(log_.Lines(), Texts{});
}

TEST_F(OutcomeTest, SettingsFileThatCannotBeWrittenIsLoggedAndTheCredentialsStillHold) {
    ini_ = dir_ / "no-such-folder" / "korvalo.ini";
    Make({std::make_pair(std::string("user"), std::string("pass"))});
    EXPECT_TRUE(outcome_->AskProxyCredentials());
    EXPECT_EQ(settings_.Snapshot().userPwd, "pass");
    EXPECT_EQ(log_.Matching("Не удалось сохранить пароль прокси-сервера").size(), 1u);
}

TEST_F(OutcomeTest, AuthEventHandsTheNewCredentialsToTheClientOrAborts) {
    Make({std::make_pair(std::string("user"), std::string("pass")), std::nullopt});
    std::string user;
    std::string password;
    bool abort = true;
    outcome_->NetHTTPClient1AuthEvent(AuthTarget::Proxy, "realm", "http://x/", user, password,
                                      abort);
    EXPECT_FALSE(abort);
    EXPECT_EQ(user, "user");
    EXPECT_EQ(password, "pass");

    user.clear();
    password.clear();
    outcome_->NetHTTPClient1AuthEvent(AuthTarget::Proxy, "realm", "http://x/", user, password,
                                      abort);
    EXPECT_TRUE(abort);
    EXPECT_EQ(user, "");
    EXPECT_EQ(log_.Messages(), (Texts{"407 Требуется авторизация", "407 Требуется авторизация"}));
}

// The web server's challenge: its own prompt naming the host; the answer goes to the client
// only, nothing of the proxy's credentials changes, nothing is stored.
TEST_F(OutcomeTest, ServerChallengeAsksTheServerPromptAndStoresNothing) {
    settings_.Update([](Settings& s) {
        s.userName = "proxyuser";
        s.userPwd = "proxypwd";
        s.proxyAccess = "cHJveHl1c2VyOnByb3h5cHdk";
    });
    Make({}, {std::make_pair(std::string("web"), std::string("secret")), std::nullopt});
    std::string user;
    std::string password;
    bool abort = true;
    outcome_->NetHTTPClient1AuthEvent(AuthTarget::Server, "portal", "https://portal.test:8443/a?b",
                                      user, password, abort);
    EXPECT_FALSE(abort);
    EXPECT_EQ(user, "web");
    EXPECT_EQ(password, "secret");
    user.clear();
    outcome_->NetHTTPClient1AuthEvent(AuthTarget::Server, "", "http://other.test/", user, password,
                                      abort);
    EXPECT_TRUE(abort);
    EXPECT_EQ(user, "");

    EXPECT_EQ(serverPrompt_->Hosts(), (Texts{"portal.test:8443", "other.test"}));
    EXPECT_EQ(prompt_->Calls(), 0);
    EXPECT_EQ(log_.Messages(), (Texts{"401 Требуется авторизация на сервере portal.test:8443",
                                      "401 Требуется авторизация на сервере other.test"}));
    const Settings after = settings_.Snapshot();
    EXPECT_EQ(after.userName, "proxyuser");
    EXPECT_EQ(after.userPwd, "proxypwd");
    EXPECT_EQ(after.proxyAccess, "cHJveHl1c2VyOnByb3h5cHdk");
    EXPECT_EQ(StoredAccess(), "<none>");
}

// While the cannot-connect box is open, further connection failures are logged and show no
// second box; once it is closed, the next failure shows one again.
TEST_F(OutcomeTest, OneCannotConnectBoxAtATime) {
    Make({});
    notifier_.KeepBoxesOpen();
    const std::string refused =
        "12029: Не удается установить соединение с сервером (Couldn't "
        "connect to server)";
    std::thread first([&] { outcome_->NetHTTPClient1RequestError(refused); });
    ASSERT_TRUE(notifier_.WaitOpenBoxes(1));
    for (int i = 0; i < 5; ++i)
        outcome_->NetHTTPClient1RequestError(refused);  // returns at once
    EXPECT_EQ(notifier_.Boxes().size(), 1u);
    notifier_.CloseBoxes();
    first.join();
    outcome_->NetHTTPClient1RequestError(refused);
    EXPECT_EQ(notifier_.Boxes().size(), 2u);
    EXPECT_EQ(notifier_.MostOpenAtOnce(), 1);
    EXPECT_EQ(log_.Matching("CS1 Error: 12029").size(), 7u);
}

TEST_F(OutcomeTest, CompletionReportsOnlyWhileTheStageIsOne) {
    Make({});
    outcome_->NetHTTPClient1RequestCompleted(500);
    EXPECT_EQ(stage_.load(), 0);
    EXPECT_EQ(log_.Messages(), Texts{"CS1: отправка файла на сервер завершена"});
    EXPECT_EQ(notifier_.Balloons(), Texts{"Отправка файла завершена"});
    EXPECT_EQ(unloads_, 1);

    // Nothing awaited any more: no second report.
    outcome_->NetHTTPClient1RequestCompleted(200);
    EXPECT_EQ(log_.Lines().size(), 1u);
    EXPECT_EQ(unloads_, 1);
}

TEST_F(OutcomeTest, Completion407AsksForCredentialsWithoutALogLine) {
    Make({std::nullopt});
    outcome_->NetHTTPClient1RequestCompleted(407);
    EXPECT_EQ(prompt_->Calls(), 1);
    EXPECT_EQ(stage_.load(), 0);
    EXPECT_EQ(log_.Lines(), Texts{});
    EXPECT_EQ(notifier_.Balloons(), Texts{});
    EXPECT_EQ(unloads_, 0);
}

TEST_F(OutcomeTest, ErrorsAreLoggedAndTwoNumbersAreActedOn) {
    Make({std::nullopt});
    outcome_->NetHTTPClient1RequestError("12002: time-out");
    EXPECT_EQ(log_.Messages(), Texts{"CS1 Error: 12002: time-out"});
    EXPECT_TRUE(notifier_.Boxes().empty());
    EXPECT_EQ(prompt_->Calls(), 0);

    outcome_->NetHTTPClient1RequestError("12029: no connection");
    ASSERT_EQ(notifier_.Boxes().size(), 1u);
    EXPECT_EQ(notifier_.Boxes()[0].text,
              "Не удается установить соединение с сервером. Возможно не запущен прокси-сервер или "
              "неправильный адрес/логин/пароль");
    EXPECT_EQ(notifier_.Boxes()[0].caption, "Korvalo");
    EXPECT_EQ(notifier_.Boxes()[0].icon, INotifier::Icon::Information);

    outcome_->NetHTTPClient1RequestError("12032: resend");
    EXPECT_EQ(prompt_->Calls(), 1);
    EXPECT_EQ(log_.Messages(),
              (Texts{"CS1 Error: 12002: time-out", "CS1 Error: 12029: no connection",
                     "CS1 Error: 12032: resend", "407 Требуется авторизация (12032)"}));
    EXPECT_EQ(stage_.load(), 1);  // errors leave the stage alone
}

TEST_F(OutcomeTest, ProgressAndCertificateLines) {
    Make({});
    bool abort = false;
    outcome_->NetHTTPClient1ReceiveData(-1, 5, abort);
    outcome_->NetHTTPClient1NeedClientCertificate();
    bool accepted = false;
    outcome_->NetHTTPClient1ValidateServerCertificate({"TLSv1.2", "ECDHE-RSA-AES128-GCM-SHA256"},
                                                      accepted);
    EXPECT_FALSE(abort);
    EXPECT_TRUE(accepted);
    EXPECT_EQ(log_.Messages(),
              (Texts{"CS1Read ReceiveData:  AContentLength = -1 AReadCount = 5",
                     "*** NetHTTPClient1NeedClientCertificate",
                     "*** HTTPS - protokol: TLSv1.2, algorithm: ECDHE-RSA-AES128-GCM-SHA256"}));
    // Every line carries a time stamp.
    for (const std::string& line : log_.Lines())
        EXPECT_EQ(line.substr(8, 6), " ---> ") << line;
}

// A login dialog that notices when it is shown twice at once.
class OverlapDetectingPrompt : public ICredentialsPrompt {
public:
    bool ShowLoginDialog(std::string& userName, std::string& userPwd, bool& savePwd) override {
        if (open_.fetch_add(1) != 0)
            overlapped_ = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        userName = "u";
        userPwd = "p";
        savePwd = true;
        open_.fetch_sub(1);
        return true;
    }
    std::atomic<int> open_{0};
    std::atomic<bool> overlapped_{false};
};

TEST_F(OutcomeTest, OverlappingUploadsAskOneAfterTheOther) {
    OverlapDetectingPrompt prompt;
    ScriptedServerPrompt serverPrompt;
    TUploadOutcome outcome(log_, settings_, notifier_, prompt, serverPrompt, stage_, ini_.string(),
                           {});
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i)
        threads.emplace_back([&] { outcome.NetHTTPClient1RequestCompleted(407); });
    for (auto& t : threads)
        t.join();
    EXPECT_FALSE(prompt.overlapped_.load());
    EXPECT_EQ(StoredAccess(), Base64Encode("u:p"));
}

}  // namespace
}  // namespace korvalo
