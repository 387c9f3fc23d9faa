#include "services/endpoint/http_server.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <future>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "services/endpoint/http_params.h"
#include "support/netns.h"
#include "support/raw_client.h"

namespace korvalo {
namespace {

using testing::Exchange;
using testing::RawConnection;
using testing::SplitAnswer;

// Records what the server hands over and answers as the test says.
class RecordingHandlers : public IHttpHandlers {
public:
    std::function<void(const HttpRequestInfo&, HttpResponseInfo&)> answer;
    // Offered every small request on the I/O thread; empty: none is answered there.
    std::function<bool(const HttpRequestInfo&, HttpResponseInfo&)> atOnce;

    void IdHTTPServer1Connect(ConnectionContext& context) override {
        std::lock_guard lock(mutex_);
        ++connects_;
    }
    void IdHTTPServer1CommandGet(ConnectionContext& context, const HttpRequestInfo& request,
                                 HttpResponseInfo& response) override {
        Handle("get", request, response);
    }
    void IdHTTPServer1CommandOther(ConnectionContext& context, const HttpRequestInfo& request,
                                   HttpResponseInfo& response) override {
        Handle("other", request, response);
    }
    bool AnswerAtOnce(ConnectionContext&, const HttpRequestInfo& request,
                      HttpResponseInfo& response) override {
        if (!atOnce || !atOnce(request, response))
            return false;
        std::lock_guard lock(mutex_);
        requests_.push_back(request);
        kinds_.push_back("at once");
        return true;
    }
    void IdHTTPServer1CommandError(ConnectionContext& context, const HttpRequestInfo& request,
                                   const std::string& message,
                                   HttpResponseInfo& response) override {
        std::lock_guard lock(mutex_);
        errors_.push_back(message + " -> " + std::to_string(response.status));
    }
    void IdHTTPServer1Exception(ConnectionContext& context, const std::string& message) override {
        std::lock_guard lock(mutex_);
        exceptions_.push_back(message);
        changed_.notify_all();
    }

    std::vector<HttpRequestInfo> Requests() {
        std::lock_guard lock(mutex_);
        return requests_;
    }
    std::vector<std::string> Kinds() {
        std::lock_guard lock(mutex_);
        return kinds_;
    }
    std::vector<std::string> Errors() {
        std::lock_guard lock(mutex_);
        return errors_;
    }
    std::vector<std::string> Exceptions() {
        std::lock_guard lock(mutex_);
        return exceptions_;
    }
    // Waits until n exception reports have arrived (they come on a handler thread).
    std::vector<std::string> WaitExceptions(std::size_t n) {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, std::chrono::seconds(20), [&] { return exceptions_.size() >= n; });
        return exceptions_;
    }
    int Connects() {
        std::lock_guard lock(mutex_);
        return connects_;
    }

private:
    void Handle(const char* kind, const HttpRequestInfo& request, HttpResponseInfo& response) {
        {
            std::lock_guard lock(mutex_);
            requests_.push_back(request);
            kinds_.push_back(kind);
        }
        if (answer)
            answer(request, response);
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<HttpRequestInfo> requests_;
    std::vector<std::string> kinds_;
    std::vector<std::string> errors_;
    std::vector<std::string> exceptions_;
    int connects_ = 0;
};

EndpointOptions TestOptions() {
    EndpointOptions options;
    options.port = 0;
    return options;
}

class HttpServerTest : public ::testing::Test {
protected:
    void Start(EndpointOptions options = TestOptions()) {
        server_ = std::make_unique<HttpServer>(handlers_, options);
        server_->Open();
    }
    std::uint16_t Port() const { return server_->Port(); }

    RecordingHandlers handlers_;
    std::unique_ptr<HttpServer> server_;
};

TEST(DecodeFormParams, PiecesPlusPercentAndCharsets) {
    struct Case {
        std::string encoded, charset;
        std::vector<std::string> lines;
    };
    const std::vector<Case> cases = {
        {"a=1&b=x+y%20z", "", {"a=1", "b=x y z"}},
        {"", "", {}},
        {"a=1&", "", {"a=1"}},
        {"a=1&&b=2", "", {"a=1", "", "b=2"}},
        {"c=12%2B34+5", "", {"c=12+34 5"}},
        {"v=a%3Db", "", {"v=a=b"}},
        // No character set named: one character per byte.
        {"m=%D0%9F%D1%80", "", {"m=\xC3\x90\xC2\x9F\xC3\x91\xC2\x80"}},
        {"m=%D0%9F%D1%80", "utf-8", {"m=Пр"}},
        {"m=%D0%9F%D1%80", "UTF-8", {"m=Пр"}},
        {"m=%CF%F0", "windows-1251", {"m=Пр"}},
        {"m=%FF", "utf-8", {"m=\xEF\xBF\xBD"}},
        {"x=%0D%0Ay", "", {"x=\r\ny"}},
        // Raw bytes are read like decoded ones.
        {"r=\xCF", "windows-1251", {"r=П"}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(DecodeFormParams(c.encoded, c.charset), c.lines) << c.encoded << " " << c.charset;
    for (const char* bad : {"a=%", "a=%4", "a=%zz", "a=%4g&b=1"})
        EXPECT_THROW(DecodeFormParams(bad, ""), InvalidPercentEscape) << bad;
}

TEST(DecodeFormParams, OnlyKnownCharsetsMakeText) {
    for (const char* known : {"utf-8", "UTF8", "windows-1251", "cp1251", "ISO-8859-1", "latin1"})
        EXPECT_TRUE(IsKnownCharset(known)) << known;
    for (const char* unknown : {"", "koi8-r", "utf-16"})
        EXPECT_FALSE(IsKnownCharset(unknown)) << unknown;
    // An unknown character set reads one character per byte, as none does.
    EXPECT_EQ(DecodeFormParams("m=%D0%9F", "koi8-r"), DecodeFormParams("m=%D0%9F", ""));
}

TEST(ContentTypeParts, MediaAndCharset) {
    EXPECT_EQ(ContentTypeMedia(" application/json ; charset=utf-8"), "application/json");
    EXPECT_EQ(ContentTypeCharset("text/html; charset=\"windows-1251\""), "windows-1251");
    EXPECT_EQ(ContentTypeCharset("text/html; q=1; Charset=utf-8"), "utf-8");
    EXPECT_EQ(ContentTypeCharset("text/html"), "");
}

TEST_F(HttpServerTest, DeliversRequestAsReceived) {
    Start();
    Exchange(Port(),
             "POST /sign?q=%41&z=1 HTTP/1.1\r\nHost: x\r\nUser-Agent: UA/1.0\r\n"
             "Referer: http://site/page\r\n"
             "Content-Type: application/x-www-form-urlencoded; charset=utf-8\r\n"
             "Content-Length: 19\r\n\r\nm=%D0%9F&n=a+b&o=\xD1\x80");
    Exchange(Port(), "GET /?a=1&b=%CF HTTP/1.0\r\n\r\n");
    Exchange(Port(),
             "POST /?a=1 HTTP/1.1\r\nContent-Type: application/json\r\nContent-Length: 8\r\n\r\n"
             "{\"x\":1}\xFF");
    Exchange(Port(), "OPTIONS /x HTTP/1.1\r\nReferer: r\r\n\r\n");
    const auto requests = handlers_.Requests();
    ASSERT_EQ(requests.size(), 4u);

    const HttpRequestInfo& form = requests[0];
    EXPECT_EQ(form.method, "POST");
    EXPECT_EQ(form.requestLine, "POST /sign?q=%41&z=1 HTTP/1.1");
    EXPECT_EQ(
        form.headerLines,
        (std::vector<std::string>{"Host: x", "User-Agent: UA/1.0", "Referer: http://site/page",
                                  "Content-Type: application/x-www-form-urlencoded; charset=utf-8",
                                  "Content-Length: 19"}));
    EXPECT_EQ(form.params, (std::vector<std::string>{"m=П", "n=a b", "o=р", "q=A", "z=1"}));
    EXPECT_TRUE(form.paramsAreText);
    EXPECT_EQ(form.contentLength, 19);
    EXPECT_EQ(form.userAgent, "UA/1.0");
    EXPECT_EQ(form.referer, "http://site/page");

    const HttpRequestInfo& get = requests[1];
    EXPECT_EQ(get.params, (std::vector<std::string>{"a=1", "b=\xC3\x8F"}));  // U+00CF
    EXPECT_FALSE(get.paramsAreText);
    EXPECT_EQ(get.contentLength, -1);
    EXPECT_EQ(get.requestLine, "GET /?a=1&b=%CF HTTP/1.0");

    const HttpRequestInfo& json = requests[2];
    EXPECT_EQ(json.params, std::vector<std::string>{"a=1"});
    EXPECT_EQ(json.body, "{\"x\":1}\xFF");
    EXPECT_EQ(json.contentType, "application/json");

    EXPECT_EQ(handlers_.Kinds(), (std::vector<std::string>{"get", "get", "get", "other"}));
    EXPECT_EQ(handlers_.Connects(), 4);
}

TEST_F(HttpServerTest, WritesLayerHeadsAndRawHeads) {
    Start();
    handlers_.answer = [](const HttpRequestInfo& request, HttpResponseInfo& response) {
        const std::string& q = request.params.empty() ? std::string() : request.params[0];
        if (q == "k=plain") {
            response.status = 301;
            response.location = request.referer;
            response.server = "Korvalo Version 1.2.3.4";
            response.contentType = "text/html";
            response.charSet = "windows-1251";
            response.body = "Привет";
        } else if (q == "k=raw") {
            response.status = 499;
            response.contentType = "text/html; charset=utf-8";
            response.body = "Привет";
            response.WriteRawLine("HTTP/1.1 499 Client Closed Request");
            response.WriteRawLine("X: y");
            response.WriteRawLine("");
            response.headWritten = true;
        } else if (q == "k=headers") {
            response.extraHeaders.emplace_back("Access-Control-Allow-Origin", "*");
            response.location = "a\r\nInjected: 1";
        }
    };
    EXPECT_EQ(Exchange(Port(), "GET /?k=plain HTTP/1.1\r\nReferer: http://back/\r\n\r\n"),
              "HTTP/1.1 301 Moved Permanently\r\nLocation: http://back/\r\n"
              "Server: Korvalo Version 1.2.3.4\r\n"
              "Content-Type: text/html; charset=windows-1251\r\nContent-Length: 6\r\n"
              "Connection: close\r\n\r\n\xCF\xF0\xE8\xE2\xE5\xF2");
    EXPECT_EQ(Exchange(Port(), "GET /?k=raw HTTP/1.1\r\n\r\n"),
              "HTTP/1.1 499 Client Closed Request\r\nX: y\r\n\r\nПривет");
    // HEAD: the head only.
    EXPECT_EQ(Exchange(Port(), "HEAD /?k=raw HTTP/1.1\r\n\r\n"),
              "HTTP/1.1 499 Client Closed Request\r\nX: y\r\n\r\n");
    EXPECT_EQ(Exchange(Port(), "GET /?k=headers HTTP/1.1\r\n\r\n"),
              "HTTP/1.1 200 OK\r\nLocation: aInjected: 1\r\nAccess-Control-Allow-Origin: *\r\n"
              "Content-Length: 0\r\nConnection: close\r\n\r\n");
    EXPECT_TRUE(handlers_.Exceptions().empty());
}

TEST_F(HttpServerTest, HandlerExceptionBecomes500WithMessage) {
    Start();
    handlers_.answer = [](const HttpRequestInfo&, HttpResponseInfo& response) {
        response.status = 301;
        response.server = "S";
        throw std::runtime_error("boom");
    };
    EXPECT_EQ(Exchange(Port(), "GET / HTTP/1.1\r\n\r\n"),
              "HTTP/1.1 500 Internal Server Error\r\nContent-Type: text/html; charset=utf-8\r\n"
              "Content-Length: 4\r\nConnection: close\r\n\r\nboom");
    EXPECT_EQ(handlers_.Errors(), std::vector<std::string>{"boom -> 500"});
}

TEST_F(HttpServerTest, BadInputIsAnsweredLoggedAndServingGoesOn) {
    EndpointOptions options = TestOptions();
    options.maxHeadBytes = 64 * 1024;
    Start(options);
    struct Case {
        std::string request;
        std::string statusLine;
    };
    const std::string bigHeader = "X-Big: " + std::string(70 * 1024, 'a') + "\r\n";
    const std::vector<Case> cases = {
        {"GARBAGE\r\n\r\n", "HTTP/1.1 400 Bad Request\r\n"},
        {"GET / HTTP/9\r\n\r\n", "HTTP/1.1 400 Bad Request\r\n"},
        {"GET /?a=%zz HTTP/1.1\r\n\r\n", "HTTP/1.1 400 Bad Request\r\n"},
        {"POST / HTTP/1.1\r\nContent-Type: application/x-www-form-urlencoded\r\n"
         "Content-Length: 3\r\n\r\na=%",
         "HTTP/1.1 400 Bad Request\r\n"},
        {"POST / HTTP/1.1\r\nContent-Length: 10\r\n\r\nabc", "HTTP/1.1 400 Bad Request\r\n"},
        {"GET / HTTP/1.1\r\n" + bigHeader + "\r\n",
         "HTTP/1.1 431 Request Header Fields Too Large\r\n"},
        {"POST / HTTP/1.1\r\nContent-Length: 600000000\r\n\r\n",
         "HTTP/1.1 413 Payload Too Large\r\n"},
    };
    std::size_t n = 0;
    for (const Case& c : cases) {
        RawConnection connection("127.0.0.1", Port());
        connection.Send(c.request);
        connection.HalfClose();  // a short body ends here
        const std::string answer = connection.ReadAll();
        EXPECT_EQ(answer.substr(0, c.statusLine.size()), c.statusLine) << c.request.substr(0, 60);
        EXPECT_NE(answer.find("Connection: close\r\n"), std::string::npos);
        EXPECT_EQ(handlers_.WaitExceptions(++n).size(), n) << c.request.substr(0, 60);
    }
    EXPECT_TRUE(handlers_.Requests().empty());
    const auto exceptions = handlers_.Exceptions();
    EXPECT_NE(exceptions[2].find("invalid percent escape"), std::string::npos);
    EXPECT_NE(exceptions[4].find("body"), std::string::npos);
    EXPECT_NE(exceptions[5].find("65536"), std::string::npos);
    EXPECT_NE(exceptions[6].find("600000000"), std::string::npos);
    // Still serving.
    EXPECT_EQ(SplitAnswer(Exchange(Port(), "GET / HTTP/1.1\r\n\r\n")).head.substr(0, 15),
              "HTTP/1.1 200 OK");
}

TEST_F(HttpServerTest, DeclaredOversizedBodyIsRefusedBeforeItIsSent) {
    EndpointOptions options = TestOptions();
    options.maxBodyBytes = 1000;
    Start(options);
    // The server answers as soon as the head is in; the client has not sent a byte of body.
    RawConnection connection("127.0.0.1", Port());
    connection.Send("POST / HTTP/1.1\r\nContent-Length: 1001\r\n\r\n");
    const std::string answer = connection.ReadAll();
    EXPECT_EQ(answer.substr(0, 32), "HTTP/1.1 413 Payload Too Large\r\n");
    // A chunked body that grows past the limit is cut off too.
    const std::string chunked = "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n" +
                                std::string("3e9\r\n") + std::string(1001, 'a') + "\r\n0\r\n\r\n";
    EXPECT_EQ(Exchange(Port(), chunked).substr(0, 32), "HTTP/1.1 413 Payload Too Large\r\n");
    EXPECT_TRUE(handlers_.Requests().empty());
}

TEST_F(HttpServerTest, HeadTimeOutClosesAndLogsOnlyStartedHeads) {
    EndpointOptions options = TestOptions();
    options.headTimeout = std::chrono::milliseconds(300);
    Start(options);
    RawConnection silent("127.0.0.1", Port());
    RawConnection partial("127.0.0.1", Port());
    partial.Send("GET / HTTP/1.1\r\nHost:");
    EXPECT_TRUE(silent.WaitClosed(std::chrono::seconds(20)));
    EXPECT_TRUE(partial.WaitClosed(std::chrono::seconds(20)));
    const auto exceptions = handlers_.WaitExceptions(1);
    ASSERT_EQ(exceptions.size(), 1u);
    EXPECT_NE(exceptions[0].find("head not complete"), std::string::npos);
    EXPECT_TRUE(handlers_.Requests().empty());
}

TEST_F(HttpServerTest, ExpectContinueGetsInterimAnswer) {
    Start();
    RawConnection connection("127.0.0.1", Port());
    connection.Send(
        "POST / HTTP/1.1\r\nExpect: 100-continue\r\nContent-Length: 2\r\n"
        "Content-Type: application/x-www-form-urlencoded\r\n\r\n");
    // The interim answer comes before the body is sent.
    const std::string interim = connection.ReadAtLeast(25);
    EXPECT_EQ(interim, "HTTP/1.1 100 Continue\r\n\r\n");
    connection.Send("a=");
    EXPECT_EQ(connection.ReadAll().substr(0, 15), "HTTP/1.1 200 OK");
    ASSERT_EQ(handlers_.Requests().size(), 1u);
    EXPECT_EQ(handlers_.Requests()[0].params, std::vector<std::string>{"a="});
}

TEST_F(HttpServerTest, ListensOnIpv4AndIpv6Loopback) {
    Start();
    ASSERT_TRUE(server_->ListensOnIpv6());
    EXPECT_EQ(Exchange(Port(), "GET / HTTP/1.1\r\n\r\n", "::1").substr(0, 15), "HTTP/1.1 200 OK");
    EXPECT_EQ(Exchange(Port(), "GET / HTTP/1.1\r\n\r\n", "127.0.0.1").substr(0, 15),
              "HTTP/1.1 200 OK");
    ASSERT_EQ(handlers_.Requests().size(), 2u);
}

// Another host of the network: a peer on a veth link reaches the endpoint only when it listens
// on every interface. Everything happens inside two network namespaces made for the test.
TEST_F(HttpServerTest, OnlyLoopbackUnlessEveryInterfaceIsAsked) {
    using testing::VethNamespaces;
    if (const auto why = VethNamespaces::Unavailable())
        GTEST_SKIP() << "no network namespaces: " << *why;
    std::unique_ptr<VethNamespaces> net;
    try {
        net = std::make_unique<VethNamespaces>();
    } catch (const std::exception& e) {
        GTEST_SKIP() << "no network namespaces: " << e.what();
    }
    const std::string hostAddress = VethNamespaces::Address(VethNamespaces::Side::Host);
    const auto ask = [](const std::string& host, std::uint16_t port) -> std::string {
        try {
            return Exchange(port, "GET / HTTP/1.1\r\n\r\n", host).substr(0, 15);
        } catch (const std::runtime_error& e) {
            return e.what();
        }
    };
    for (const bool all : {false, true}) {
        SCOPED_TRACE(all ? "every interface" : "loopback only");
        EndpointOptions options = TestOptions();
        options.listenAllInterfaces = all;
        net->RunIn(VethNamespaces::Side::Host, [&] { Start(options); });
        const std::uint16_t port = Port();
        std::string fromPeer;
        std::string fromHostOwnAddress;
        std::string fromLoopback;
        net->RunIn(VethNamespaces::Side::Peer, [&] { fromPeer = ask(hostAddress, port); });
        net->RunIn(VethNamespaces::Side::Host, [&] {
            fromHostOwnAddress = ask(hostAddress, port);
            fromLoopback = ask("127.0.0.1", port);
        });
        EXPECT_EQ(fromLoopback, "HTTP/1.1 200 OK");
        if (all) {
            EXPECT_EQ(fromPeer, "HTTP/1.1 200 OK");
            EXPECT_EQ(fromHostOwnAddress, "HTTP/1.1 200 OK");
            EXPECT_EQ(server_->ListenAddresses()[0], "0.0.0.0:" + std::to_string(port));
        } else {
            EXPECT_NE(fromPeer.find("Connection refused"), std::string::npos) << fromPeer;
            EXPECT_NE(fromHostOwnAddress.find("Connection refused"), std::string::npos)
                << fromHostOwnAddress;
            EXPECT_EQ(server_->ListenAddresses()[0], "127.0.0.1:" + std::to_string(port));
        }
        server_->Close();
    }
}

TEST_F(HttpServerTest, OpeningATakenPortFails) {
    Start();
    EndpointOptions options = TestOptions();
    options.port = Port();
    RecordingHandlers other;
    HttpServer second(other, options);
    EXPECT_THROW(second.Open(), std::system_error);
    EXPECT_FALSE(second.Active());
    // The first one is not disturbed.
    EXPECT_EQ(Exchange(Port(), "GET / HTTP/1.1\r\n\r\n").substr(0, 15), "HTTP/1.1 200 OK");
}

// Handlers block as long as they like; idle and waiting connections never hold a handler
// thread, and no more handlers run at once than the bound.
TEST_F(HttpServerTest, BlockingHandlersAreBoundedAndDoNotStopReading) {
    EndpointOptions options = TestOptions();
    options.maxHandlerThreads = 2;
    std::mutex mutex;
    std::condition_variable cv;
    bool release = false;
    int running = 0, maxRunning = 0, entered = 0;
    handlers_.answer = [&](const HttpRequestInfo& request, HttpResponseInfo& response) {
        if (request.params.empty() || request.params[0] != "block=1")
            return;
        std::unique_lock lock(mutex);
        ++entered;
        maxRunning = std::max(maxRunning, ++running);
        cv.notify_all();
        cv.wait(lock, [&] { return release; });
        --running;
    };
    Start(options);
    std::vector<std::unique_ptr<RawConnection>> idle;
    for (int i = 0; i < 50; ++i)
        idle.push_back(std::make_unique<RawConnection>("127.0.0.1", Port()));
    std::vector<std::unique_ptr<RawConnection>> blocked;
    for (int i = 0; i < 3; ++i) {
        blocked.push_back(std::make_unique<RawConnection>("127.0.0.1", Port()));
        blocked.back()->Send("GET /?block=1 HTTP/1.1\r\n\r\n");
    }
    {
        std::unique_lock lock(mutex);
        cv.wait(lock, [&] { return entered == 2; });
    }
    // Both handler threads are taken: the third request waits, the head reading goes on (a
    // malformed request is still refused by the reader, whose report waits for a thread).
    RawConnection bad("127.0.0.1", Port());
    bad.Send("NOT HTTP\r\n\r\n");
    {
        std::lock_guard lock(mutex);
        release = true;
    }
    cv.notify_all();
    for (auto& c : blocked)
        EXPECT_EQ(c->ReadAll().substr(0, 15), "HTTP/1.1 200 OK");
    EXPECT_EQ(bad.ReadAll().substr(0, 24), "HTTP/1.1 400 Bad Request");
    EXPECT_EQ(maxRunning, 2);
    EXPECT_EQ(entered, 3);
    EXPECT_LE(server_->HandlerThreadCount(), 2u);
}

// A small request the handlers can answer at once is answered on the I/O thread, also while
// every handler thread is taken; a large one, one they decline and a failure go their usual
// ways.
TEST_F(HttpServerTest, AnswersGivenAtOnceNeedNoHandlerThread) {
    EndpointOptions options = TestOptions();
    options.maxHandlerThreads = 1;
    std::mutex mutex;
    std::condition_variable cv;
    bool release = false, entered = false;
    handlers_.answer = [&](const HttpRequestInfo& request, HttpResponseInfo& response) {
        if (request.params.empty() || request.params[0] != "block=1")
            return;
        std::unique_lock lock(mutex);
        entered = true;
        cv.notify_all();
        cv.wait(lock, [&] { return release; });
    };
    handlers_.atOnce = [](const HttpRequestInfo& request, HttpResponseInfo& response) {
        if (request.params.empty() || !request.params[0].starts_with("now="))
            return false;
        if (request.params[0] == "now=throw")
            throw std::runtime_error("no answer");
        response.status = 202;
        response.body = "now";
        return true;
    };
    Start(options);
    RawConnection blocked("127.0.0.1", Port());
    blocked.Send("GET /?block=1 HTTP/1.1\r\n\r\n");
    {
        std::unique_lock lock(mutex);
        cv.wait(lock, [&] { return entered; });
    }
    // The only handler thread is held.
    const auto [head, body] = SplitAnswer(Exchange(Port(), "GET /?now=1 HTTP/1.1\r\n\r\n"));
    EXPECT_EQ(head.substr(0, 21), "HTTP/1.1 202 Accepted");
    EXPECT_EQ(body, "now");
    EXPECT_EQ(Exchange(Port(), "HEAD /?now=1 HTTP/1.1\r\n\r\n").find("now"), std::string::npos);
    EXPECT_EQ(Exchange(Port(), "GET /?now=throw HTTP/1.1\r\n\r\n").substr(0, 12), "HTTP/1.1 500");
    // Declined, and too large to be offered: both wait for the handler thread.
    RawConnection declined("127.0.0.1", Port());
    declined.Send("GET /?later=1 HTTP/1.1\r\n\r\n");
    const std::string large = "now=1&pad=" + std::string(20000, 'x');
    RawConnection big("127.0.0.1", Port());
    big.Send(
        "POST / HTTP/1.1\r\nContent-Type: application/x-www-form-urlencoded\r\n"
        "Content-Length: " +
        std::to_string(large.size()) + "\r\n\r\n" + large);
    {
        std::lock_guard lock(mutex);
        release = true;
    }
    cv.notify_all();
    EXPECT_EQ(blocked.ReadAll().substr(0, 15), "HTTP/1.1 200 OK");
    EXPECT_EQ(declined.ReadAll().substr(0, 15), "HTTP/1.1 200 OK");
    EXPECT_EQ(big.ReadAll().substr(0, 15), "HTTP/1.1 200 OK");
    const std::vector<std::string> kinds = handlers_.Kinds();
    EXPECT_EQ(std::count(kinds.begin(), kinds.end(), "at once"), 2);
    EXPECT_EQ(std::count(kinds.begin(), kinds.end(), "get"), 3);
    ASSERT_EQ(handlers_.Errors().size(), 1u);
    EXPECT_EQ(handlers_.Errors()[0], "no answer -> 500");
    EXPECT_EQ(handlers_.Connects(), 6);
}

TEST_F(HttpServerTest, CloseStopsListening) {
    Start();
    const std::uint16_t port = Port();
    server_->Close();
    EXPECT_FALSE(server_->Active());
    EXPECT_THROW(RawConnection("127.0.0.1", port), std::runtime_error);
}

}  // namespace
}  // namespace korvalo
