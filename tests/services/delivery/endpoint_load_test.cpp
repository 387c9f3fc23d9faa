// The endpoint under a page's flood of login requests whose uploads go to a server that
// trickles its answer and to one that refuses connections: it keeps answering, the uploads end
// in time, and the person sees one message box at most.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "services/delivery/endpoint_world.h"
#include "support/capture_server.h"
#include "support/processes.h"
#include "support/raw_client.h"

namespace korvalo {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testing::CaptureServer;
using testing::CaptureServerOptions;
using testing::RawConnection;
using testing::ServerAction;

std::string PercentEncoded(const std::string& text) {
    std::string out;
    for (const char c : text) {
        if (c == ':' || c == '/') {
            char buf[4];
            std::snprintf(buf, sizeof buf, "%%%02X", static_cast<unsigned char>(c));
            out += buf;
        } else {
            out += c;
        }
    }
    return out;
}

class EndpointLoadTest : public testing::EndpointWorld {
protected:
    void SetUp() override {
        HttpClientOptions client;
        client.connectTimeout = 5s;
        client.minSpeedWindow = kWindow;
        StartEndpoint(client);
    }

    static constexpr std::chrono::seconds kWindow{3};
};

TEST_F(EndpointLoadTest, TricklingAndRefusingTargetsCannotSilenceTheEndpoint) {
    CaptureServerOptions trickling;
    trickling.keepBodies = false;
    trickling.decide = [](const testing::CapturedRequest&) {
        ServerAction action;
        action.kind = ServerAction::Kind::Trickle;
        action.trickleInterval = 2s;  // half a byte a second: below the minimum speed
        return action;
    };
    CaptureServer trickler(trickling);
    const std::string refusing =
        "http://127.0.0.1:" + std::to_string(testing::FreeLoopbackPort()) + "/answer";
    // The first cannot-connect box stays open for the whole flood.
    notifier_.KeepBoxesOpen();

    constexpr int kRequests = 128;  // 64 of each kind, interleaved, one every 40 ms
    struct Result {
        bool trickle = false;
        std::string answer;
        Clock::duration took{};
    };
    std::vector<Result> results(kRequests);
    std::atomic<int> finished{0};
    std::vector<std::thread> clients;
    const std::uint16_t port = endpoint_->Port();

    // The prober: an OPTIONS request every 100 ms for as long as the flood lasts.
    std::atomic<bool> floodOver{false};
    std::vector<Clock::duration> probes;
    std::string failedProbe;
    std::size_t mostUploads = 0;
    std::thread prober([&] {
        while (!floodOver.load()) {
            const auto start = Clock::now();
            bool timedOut = false;
            std::string answer;
            try {
                RawConnection c("127.0.0.1", port);
                c.Send("OPTIONS / HTTP/1.1\r\nHost: 127.0.0.1\r\nOrigin: http://page\r\n\r\n");
                answer = c.ReadAll(5s, &timedOut);
            } catch (const std::exception& e) {
                answer = e.what();
            }
            probes.push_back(Clock::now() - start);
            if (failedProbe.empty() && !answer.starts_with("HTTP/1.1 200 OK\r\n"))
                failedProbe = answer.empty() ? "no answer" : answer;
            mostUploads = std::max(mostUploads, dispatcher_->UploadsRunning());
            std::this_thread::sleep_for(100ms);
        }
    });

    for (int i = 0; i < kRequests; ++i) {
        results[i].trickle = i % 2 == 0;
        const std::string target = results[i].trickle ? trickler.Url("/answer") : refusing;
        clients.emplace_back([&, i, target] {
            const auto start = Clock::now();
            try {
                RawConnection c("127.0.0.1", port);
                c.Send("GET /?urlToAnswer=" + PercentEncoded(target) +
                       "&urlToRedirect=http%3A%2F%2Fpage%2Fdone&crpt_login=" + std::to_string(i) +
                       " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
                results[i].answer = c.ReadAll(60s);
            } catch (const std::exception& e) {
                results[i].answer = e.what();
            }
            results[i].took = Clock::now() - start;
            ++finished;
        });
        std::this_thread::sleep_for(40ms);
    }
    // Every request but the one whose box is open gets its answer.
    const auto deadline = Clock::now() + 60s;
    while (finished.load() < kRequests - 1 && Clock::now() < deadline)
        std::this_thread::sleep_for(50ms);
    EXPECT_EQ(finished.load(), kRequests - 1);
    floodOver = true;
    prober.join();
    notifier_.CloseBoxes();
    for (std::thread& t : clients)
        t.join();

    // The endpoint kept answering at once throughout.
    ASSERT_FALSE(probes.empty());
    EXPECT_EQ(failedProbe, "");
    const auto slowest = *std::max_element(probes.begin(), probes.end());
    EXPECT_LT(slowest, 1s) << std::chrono::duration_cast<std::chrono::milliseconds>(slowest).count()
                           << " ms for an OPTIONS answer";
    EXPECT_LE(mostUploads, kMaxUploads);

    int uploadedTrickles = 0;
    int uploadedRefused = 0;
    int busy = 0;
    for (const Result& r : results) {
        if (r.answer.starts_with("HTTP/1.1 200 OK\r\n")) {
            (r.trickle ? uploadedTrickles : uploadedRefused)++;
            // A trickling upload ends once its speed has stayed below the minimum for the
            // window; libcurl takes the speed as the average of the last five seconds, which
            // still count the request just sent.
            if (r.trickle) {
                EXPECT_LT(r.took, kWindow + 8s)
                    << std::chrono::duration_cast<std::chrono::milliseconds>(r.took).count();
            }
        } else {
            EXPECT_TRUE(r.answer.starts_with("HTTP/1.1 499 Client Closed Request\r\n"))
                << r.answer.substr(0, 200);
            ++busy;
        }
    }
    EXPECT_GT(uploadedTrickles, 0);
    EXPECT_GT(uploadedRefused, 0);
    EXPECT_EQ(uploadedTrickles + uploadedRefused + busy, kRequests);
    EXPECT_EQ(static_cast<int>(log_.Matching("CS1 Error: 12002").size()), uploadedTrickles);
    EXPECT_EQ(static_cast<int>(log_.Matching("CS1 Error: 12029").size()), uploadedRefused);
    EXPECT_EQ(notifier_.MostOpenAtOnce(), 1);
    EXPECT_EQ(notifier_.Boxes().size(), 1u);
    EXPECT_EQ(dispatcher_->UploadsRunning(), 0u);
    EXPECT_TRUE(dispatcher_->SignEnabled());
    // Login requests show no dialog and no login window.
    EXPECT_TRUE(dialogs_.Calls().empty());
    EXPECT_EQ(prompt_.Calls(), 0);
}

}  // namespace
}  // namespace korvalo
