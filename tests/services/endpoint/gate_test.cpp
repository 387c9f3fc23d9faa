// The busy gate under concurrent requests, and the request's own copy of its fields.

#include <future>
#include <latch>
#include <thread>

#include "core/text.h"
#include "services/endpoint/answer_pages.h"
#include "services/endpoint/endpoint_fixture.h"

namespace korvalo {
namespace {

using namespace korvalo::testing;

std::string Redirected(const std::string& url) {
    return std::string("HTTP/1.1 200 OK\r\nServer: Korvalo Version ") + kVersion + "\r\n" + kCors +
           "\r\n" + ToCp1251(RedirectPage(url));
}

class GateTest : public EndpointFixture {};

TEST_F(GateTest, OfTwoHundredRequestsAtOnceExactlyOneStartsAProcedure) {
    Start();
    dialogs_.SetDefault({.code = 1, .signature = "SIG", .block = true});
    constexpr int kRequests = 200;
    std::vector<std::unique_ptr<RawConnection>> connections;
    for (int i = 0; i < kRequests; ++i)
        connections.push_back(std::make_unique<RawConnection>("127.0.0.1", server_->Port()));
    std::latch go(kRequests);
    std::vector<std::future<std::string>> answers;
    for (int i = 0; i < kRequests; ++i) {
        answers.push_back(std::async(std::launch::async, [&, i] {
            const std::string request =
                Get("urlToAnswer=http%3A%2F%2Fsvc%2F" + std::to_string(i) +
                    "&urlToRedirect=http%3A%2F%2Fback%2F" + std::to_string(i) + "&crpt_message=m" +
                    std::to_string(i));
            go.arrive_and_wait();
            connections[i]->Send(request);
            return connections[i]->ReadAll(std::chrono::seconds(120));
        }));
    }
    ASSERT_TRUE(dialogs_.WaitBlocked(1, std::chrono::seconds(60)));
    // Every other request gets the busy answer while the one dialog is open.
    const std::string busy =
        std::string("HTTP/1.1 499 Client Closed Request\r\n") + kCors + "\r\n" + BusyPage(kVersion);
    int busyAnswers = 0;
    std::vector<bool> answered(kRequests, false);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (busyAnswers < kRequests - 1 && std::chrono::steady_clock::now() < deadline) {
        for (int i = 0; i < kRequests; ++i) {
            if (answered[i] ||
                answers[i].wait_for(std::chrono::seconds(0)) != std::future_status::ready)
                continue;
            answered[i] = true;
            EXPECT_EQ(answers[i].get(), busy) << i;
            ++busyAnswers;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    const int holder =
        static_cast<int>(std::find(answered.begin(), answered.end(), false) - answered.begin());
    ASSERT_EQ(busyAnswers, kRequests - 1);
    ASSERT_LT(holder, kRequests);
    EXPECT_FALSE(dispatcher_->SignEnabled());

    dialogs_.Release();
    EXPECT_EQ(answers[holder].get(), Redirected("http://back/" + std::to_string(holder)));
    EXPECT_EQ(dialogs_.Calls().size(), 1u);
    EXPECT_TRUE(dispatcher_->SignEnabled());
    const auto uploads = uploader_.Uploads();
    ASSERT_EQ(uploads.size(), 1u);
    EXPECT_EQ(uploads[0].job.url, "http://svc/" + std::to_string(holder));
    EXPECT_EQ(uploads[0].fileContent, "m" + std::to_string(holder));
    const auto texts = log_.Texts();
    EXPECT_EQ(std::count(texts.begin(), texts.end(), "ERROR_ALREADY_EXISTS"), kRequests - 1);
    // The gate is open again: the next request starts a procedure.
    dialogs_.SetDefault({.code = 8});
    EXPECT_TRUE(Send(Get("urlToAnswer=a&urlToRedirect=b")).starts_with("HTTP/1.1 200 OK\r\n"));
    EXPECT_EQ(dialogs_.Calls().size(), 2u);
}

// A request that starts while an earlier one uploads cannot change the earlier one's upload
// or answer; a busy request changes nothing at all.
TEST_F(GateTest, EachRequestUploadsAndAnswersWithItsOwnValues) {
    Start();
    std::promise<void> aUploading;
    std::promise<void> releaseA;
    std::shared_future<void> releaseASignal = releaseA.get_future().share();
    uploader_.during = [&](const UploadJob& job) {
        if (job.url == "http://a/answer") {
            aUploading.set_value();
            releaseASignal.wait();
        }
    };
    dialogs_.Queue({.code = 1, .signature = "A-SIG", .block = true});
    auto a = std::async(std::launch::async, [&] {
        return Send(
            Get("urlToAnswer=http%3A%2F%2Fa%2Fanswer&urlToRedirect=http%3A%2F%2Fa%2Fdone"
                "&crpt_cookie=ca&crpt_message=a&extra=A",
                ""));
    });
    ASSERT_TRUE(dialogs_.WaitBlocked(1));
    // Busy: its addresses go nowhere.
    Send(
        Get("urlToAnswer=http%3A%2F%2Fb%2Fanswer&urlToRedirect=http%3A%2F%2Fb%2Fdone"
            "&crpt_cookie=cb&crpt_message=b"));
    dialogs_.Release();
    aUploading.get_future().wait();
    EXPECT_TRUE(dispatcher_->SignEnabled());  // the gate reopened before the upload

    // C runs a whole procedure while A is still uploading.
    dialogs_.Queue({.code = 1, .signature = "C-SIG"});
    const std::string c = Send(
        "GET /?urlToAnswer=http%3A%2F%2Fc%2Fanswer&urlToRedirect=http%3A%2F%2Fc%2Fdone"
        "&crpt_cookie=cc&crpt_message=c HTTP/1.1\r\nUser-Agent: OtherAgent\r\n\r\n");
    EXPECT_EQ(c, Redirected("http://c/done"));

    releaseA.set_value();
    EXPECT_EQ(a.get(), Redirected("http://a/done"));

    const auto uploads = uploader_.Uploads();
    ASSERT_EQ(uploads.size(), 2u);
    const UploadJob& upA = uploads[0].job;
    const UploadJob& upC = uploads[1].job;
    EXPECT_EQ(upA.url, "http://a/answer");
    EXPECT_EQ(upA.cookie, "ca");
    EXPECT_EQ(upA.signature, "A-SIG\r\n");
    EXPECT_EQ(upA.userAgent, "TestAgent/1.0");
    EXPECT_EQ(upA.paramList.back(), "extra=A");
    EXPECT_EQ(uploads[0].fileContent, "a");
    EXPECT_EQ(upC.url, "http://c/answer");
    EXPECT_EQ(upC.cookie, "cc");
    EXPECT_EQ(upC.signature, "C-SIG\r\n");
    EXPECT_EQ(upC.userAgent, "OtherAgent");
    EXPECT_NE(upA.fileName, "");
    // The persistent fields are those of the last request that owned the gate.
    EXPECT_EQ(dispatcher_->Fields().urlToAnswer, "http://c/answer");
    EXPECT_EQ(dialogs_.Calls().size(), 2u);
}

// An upload slot is claimed with the gate: while every slot is held by an upload, a request
// gets the busy answer before any dialog opens, so nothing is signed only to be dropped. The
// slot comes free when the upload has ended.
TEST_F(GateTest, NoFreeUploadSlotMeansBusyBeforeAnyDialog) {
    maxUploads_ = 1;
    Start();
    std::promise<void> uploading;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    uploader_.during = [&](const UploadJob& job) {
        if (job.url == "http://a/answer") {
            uploading.set_value();
            released.wait();
        }
    };
    dialogs_.SetDefault({.code = 1, .signature = "SIG"});
    auto a = std::async(std::launch::async, [&] {
        return Send(Get("urlToAnswer=http%3A%2F%2Fa%2Fanswer&urlToRedirect=R&crpt_message=a"));
    });
    uploading.get_future().wait();
    EXPECT_TRUE(dispatcher_->SignEnabled());  // the gate is open again, the slot is not
    EXPECT_EQ(dispatcher_->UploadsRunning(), 1u);
    const std::string busy =
        std::string("HTTP/1.1 499 Client Closed Request\r\n") + kCors + "\r\n" + BusyPage(kVersion);
    EXPECT_EQ(Send(Get("urlToAnswer=http%3A%2F%2Fb%2Fanswer&urlToRedirect=R&crpt_message=b")),
              busy);
    EXPECT_TRUE(Send(Post(R"({"files":[{"id":1,"data64":"YQ=="}]})", "application/json"))
                    .starts_with("HTTP/1.1 499 Client Closed Request\r\n"));
    // Requests that need no slot are answered meanwhile.
    EXPECT_TRUE(Send("OPTIONS / HTTP/1.1\r\n\r\n").starts_with("HTTP/1.1 200 OK\r\n"));
    EXPECT_TRUE(Send(Get("urlToAnswer=x")).starts_with("HTTP/1.1 301 "));
    EXPECT_EQ(dialogs_.Calls().size(), 1u);

    release.set_value();
    EXPECT_EQ(a.get(), Redirected("R"));
    EXPECT_EQ(dispatcher_->UploadsRunning(), 0u);
    dialogs_.SetDefault({.code = 8});
    Send(Get("urlToAnswer=http%3A%2F%2Fb%2Fanswer&urlToRedirect=R&crpt_message=b"));
    EXPECT_EQ(dialogs_.Calls().size(), 2u);
    // A procedure that ends without upload gives its slot back as well.
    EXPECT_EQ(dispatcher_->UploadsRunning(), 0u);
    EXPECT_EQ(uploader_.Uploads().size(), 1u);
}

// A batch document is read on its own: what it leaves out never comes from an earlier request,
// which may have been another site's (its upload address, cookie and certificate).
TEST_F(GateTest, BatchDocumentsTakeNothingFromEarlierRequests) {
    Start();
    dialogs_.Queue({.code = 8});
    Send(
        Get("urlToAnswer=http%3A%2F%2Fsvc%2Fanswer&urlToRedirect=R&crpt_cookie=sid"
            "&certificateNum=AA+BB&crpt_message=m"));
    // Missing address: 301.
    Send(Get("urlToAnswer=http%3A%2F%2Fother&crpt_cookie=zzz"));
    // A batch naming only the redirect address and the jobs.
    dialogs_.Queue({.code = 1, .jobSigns = {"S"}});
    EXPECT_EQ(
        Send(Post(R"({"urlToRedirect":"http://svc/after","files":[{"id":1,"data64":"YQ=="}]})",
                  "application/json")),
        Redirected("http://svc/after"));
    const auto calls = dialogs_.Calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[1].preselect, "");
    const auto uploads = uploader_.Uploads();
    ASSERT_EQ(uploads.size(), 1u);
    EXPECT_EQ(uploads[0].job.url, "");
    EXPECT_EQ(uploads[0].job.cookie, "");
    EXPECT_TRUE(uploads[0].fileContent.starts_with(
        "{\"urlToAnswer\":\"\",\"urlToRedirect\":\"http://svc/after\",\"crpt_cookie\":\"\","));
    EXPECT_EQ(uploads[0].job.paramList, std::vector<std::string>{"urlToRedirect=http://svc/after"});
}

}  // namespace
}  // namespace korvalo
