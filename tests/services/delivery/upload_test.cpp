// Uploads to a real local server: the request byte for byte, the protocol record, and how
// every kind of failure ends in the handlers.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <stdexcept>

#include "core/base64.h"
#include "core/digest.h"
#include "core/text.h"
#include "services/delivery/upload_body.h"
#include "services/delivery/upload_fixture.h"
#include "support/capture_server.h"
#include "support/processes.h"

namespace korvalo {
namespace {

using testing::CapturedRequest;
using testing::CaptureServer;
using testing::CaptureServerOptions;
using testing::ReadBytes;
using testing::ReplyWith;
using testing::ScriptedPrompt;
using testing::ServerAction;
using testing::UploadFixture;
using testing::WriteBytes;
using Texts = std::vector<std::string>;

constexpr const char* kStartLine = "CS1: начата отправка данных на сервер";
constexpr const char* kDoneLine = "CS1: отправка файла на сервер завершена";

std::string BoundaryOf(const CapturedRequest& request) {
    const std::string type = request.Header("Content-Type").value_or("");
    const std::string prefix = "multipart/form-data; boundary=";
    return type.rfind(prefix, 0) == 0 ? type.substr(prefix.size()) : "";
}

// True when boundary is the MD5 of a millisecond count of the local day between from and to.
bool BoundaryFromClock(const std::string& boundary, Clock::time_point from, Clock::time_point to) {
    for (long long ms = MillisecondsSinceLocalMidnight(from);
         ms <= MillisecondsSinceLocalMidnight(to); ++ms) {
        if (Md5Hex(std::to_string(ms)) == boundary)
            return true;
    }
    return false;
}

class UploadTest : public UploadFixture {};

TEST_F(UploadTest, FixtureRequestArrivesByteForByteWithItsHeadersInOrder) {
    CaptureServer server;
    Make();
    const std::string fileBytes("%PDF\x00\x01\xFF\r\n--x--\r\n", 17);
    UploadJob job = Job(server.Url("/answer?id=7"), fileBytes);
    job.paramList = {
        "urlToAnswer=http://127.0.0.1/answer",
        "crpt_cookie=SID=42",
        "crpt_message=never echoed",
        "Crpt_Message=echoed",
        "note=a b&c=d",
        "city=" + FromLatin1("\xD0\x9C\xD0\xB8\xD0\xBD\xD1\x81\xD0\xBA"),
    };
    job.signature = "MIIBline1\r\nline2==\r\n";
    job.cookie = "SID=42";

    const auto before = Clock::now();
    Upload(job);
    const auto after = Clock::now();

    ASSERT_EQ(server.RequestCount(), 1u);
    const CapturedRequest request = server.Requests()[0];
    const std::string b = BoundaryOf(request);
    EXPECT_TRUE(BoundaryFromClock(b, before, after)) << b;

    const std::string expectedBody = ReplaceAll(
        "--{B}\r\n"
        "Content-Disposition: form-data; name=\"urlToAnswer\"\r\n"
        "\r\n"
        "http%3A%2F%2F127.0.0.1%2Fanswer\r\n"
        "--{B}\r\n"
        "Content-Disposition: form-data; name=\"crpt_cookie\"\r\n"
        "\r\n"
        "SID%3D42\r\n"
        "--{B}\r\n"
        "Content-Disposition: form-data; name=\"Crpt_Message\"\r\n"
        "\r\n"
        "echoed\r\n"
        "--{B}\r\n"
        "Content-Disposition: form-data; name=\"note\"\r\n"
        "\r\n"
        "a+b%26c%3Dd\r\n"
        "--{B}\r\n"
        "Content-Disposition: form-data; name=\"city\"\r\n"
        "\r\n"
        "%D0%9C%D0%B8%D0%BD%D1%81%D0%BA\r\n"
        "--{B}\r\n"
        "Content-Disposition: form-data; name=\"crpt_signature\"\r\n"
        "\r\n"
        "MIIBline1\r\nline2==\r\n\r\n"
        "--{B}\r\n"
        "Content-Disposition: form-data; name=\"korvaloVersion\"\r\n"
        "\r\n"
        "1.0.0.0\r\n"
        "--{B}\r\n"
        "Content-Disposition: form-data; name=\"crpt_file\"; filename=\"message.htm\"\r\n"
        "Content-Type: application/x-macbinary\r\n"
        "\r\n"
        "{FILE}"
        "\r\n--{B}--\r\n",
        "{B}", b);
    const std::string expected = ReplaceAll(expectedBody, "{FILE}", fileBytes);
    EXPECT_EQ(request.body, expected);
    EXPECT_TRUE(request.complete);

    EXPECT_EQ(request.RequestLine(), "POST /answer?id=7 HTTP/1.1");
    EXPECT_EQ(request.HeaderLines(), (Texts{
                                         "Host: 127.0.0.1:" + std::to_string(server.Port()),
                                         "User-Agent: Mozilla/5.0 (X11; Linux x86_64)",
                                         "Accept: */*",
                                         "Accept-Language: ru-RU,ru;q=0.9,en;q=0.8",
                                         "Accept-Charset: utf-8;q=0.7,*;q=0.3",
                                         "Cookie: SID=42",
                                         "Connection: Keep-Alive",
                                         "Content-Type: multipart/form-data; boundary=" + b,
                                         "Content-Length: " + std::to_string(expected.size()),
                                     }));

    EXPECT_EQ(
        log_.Messages(),
        (Texts{kStartLine, "CS1Read ReceiveData:  AContentLength = 2 AReadCount = 2", kDoneLine}));
    EXPECT_EQ(notifier_.Balloons(), Texts{"Отправка файла завершена"});
    EXPECT_EQ(stage_.load(), 0);
    EXPECT_EQ(unloads_.load(), 1);
}

TEST_F(UploadTest, BodiesOfTheOtherRequestKinds) {
    struct Case {
        std::string what;
        std::string signature;
        std::string fileName;
        std::string fileBytes;
    };
    const Case cases[] = {
        {"empty file", "MIIBwrapped\r\n", "empty.htm", ""},
        {"ID-card signature, not wrapped", "MIIGcardSignatureWithoutLineBreaks==", "doc.pdf",
         "pdf bytes"},
        {"batch answer", "json", "202435_978.txt",
         "{\"beanName\":\"b\",\"jobs\":[{\"id\":\"1\",\"sign\":\"MII=\"}]}"},
    };
    for (const Case& c : cases) {
        CaptureServer server;
        Make();
        WriteBytes(dir_ / c.fileName, c.fileBytes);
        UploadJob job;
        job.url = server.Url("/");
        job.signature = c.signature;
        job.fileName = (dir_ / c.fileName).string();
        job.paramList = {"urlToRedirect=x"};
        job.userAgent = "UA";
        Upload(job);

        ASSERT_EQ(server.RequestCount(), 1u) << c.what;
        const CapturedRequest request = server.Requests()[0];
        const std::string b = BoundaryOf(request);
        const std::string expected = "--" + b +
                                     "\r\n"
                                     "Content-Disposition: form-data; name=\"urlToRedirect\"\r\n"
                                     "\r\n"
                                     "x\r\n"
                                     "--" +
                                     b +
                                     "\r\n"
                                     "Content-Disposition: form-data; name=\"crpt_signature\"\r\n"
                                     "\r\n" +
                                     c.signature +
                                     "\r\n"
                                     "--" +
                                     b +
                                     "\r\n"
                                     "Content-Disposition: form-data; name=\"korvaloVersion\"\r\n"
                                     "\r\n"
                                     "1.0.0.0\r\n"
                                     "--" +
                                     b +
                                     "\r\n"
                                     "Content-Disposition: form-data; name=\"crpt_file\"; "
                                     "filename=\"" +
                                     c.fileName +
                                     "\"\r\n"
                                     "Content-Type: application/x-macbinary\r\n"
                                     "\r\n" +
                                     c.fileBytes + "\r\n--" + b + "--\r\n";
        EXPECT_EQ(request.body, expected) << c.what;
        // No cookie: no Cookie header at all.
        EXPECT_FALSE(request.Header("Cookie").has_value()) << c.what;
    }
}

TEST_F(UploadTest, HeaderValuesCannotBreakTheHead) {
    CaptureServer server;
    Make();
    UploadJob job = Job(server.Url("/"));
    job.userAgent = "";                         // sent, with an empty value
    job.cookie = "a=b\r\nX-Injected: yes\r\n";  // the line breaks become blanks
    Upload(job);
    ASSERT_EQ(server.RequestCount(), 1u);
    const Texts lines = server.Requests()[0].HeaderLines();
    ASSERT_GE(lines.size(), 7u);
    EXPECT_EQ(lines[1], "User-Agent:");
    EXPECT_EQ(lines[5], "Cookie: a=b  X-Injected: yes  ");
    EXPECT_FALSE(server.Requests()[0].Header("X-Injected").has_value());
}

TEST_F(UploadTest, WithoutAProxySettingTheEnvironmentsProxyIsNotUsed) {
    CaptureServer server;
    const int deadPort = testing::FreeLoopbackPort();
    const std::string deadProxy = "http://127.0.0.1:" + std::to_string(deadPort);
    ::setenv("http_proxy", deadProxy.c_str(), 1);
    ::setenv("HTTP_PROXY", deadProxy.c_str(), 1);
    Make();
    Upload(Job(server.Url("/")));
    ::unsetenv("http_proxy");
    ::unsetenv("HTTP_PROXY");
    EXPECT_EQ(server.RequestCount(), 1u);
    EXPECT_EQ(log_.Matching(kDoneLine).size(), 1u);
}

TEST_F(UploadTest, AFileThatCannotBeOpenedRaisesBeforeAnythingIsSent) {
    CaptureServer server;
    Make();
    UploadJob job = Job(server.Url("/"));
    job.fileName = (dir_ / "gone.htm").string();
    EXPECT_THROW(Upload(job), std::runtime_error);
    EXPECT_EQ(server.RequestCount(), 0u);
    EXPECT_EQ(log_.Lines(), Texts{});
}

// The body is read from the file while it is sent; on the wire it is byte for byte the body
// built whole: head, every byte of the file, tail, with its length announced beforehand.
TEST_F(UploadTest, AFileOfSomeMebibytesArrivesByteForByte) {
    CaptureServer server;
    Make();
    std::string bytes;
    for (std::size_t i = 0; i < (3u << 20) + 4097; ++i)
        bytes.push_back(static_cast<char>((i * 2654435761u) >> 11));
    UploadJob job = Job(server.Url("/"), bytes);
    job.signedContent = FingerprintOf(bytes);
    Upload(job);
    ASSERT_EQ(server.RequestCount(), 1u);
    const CapturedRequest request = server.Requests()[0];
    const std::string b = BoundaryOf(request);
    const std::string expected =
        BuildMultipartHead(job.paramList, false, job.signature, "1.0.0.0", job.fileName, b) +
        bytes + MultipartTail(b);
    EXPECT_TRUE(request.complete);
    EXPECT_EQ(request.body.size(), expected.size());
    EXPECT_TRUE(request.body == expected);
    EXPECT_EQ(request.Header("Content-Length"), std::to_string(expected.size()));
    EXPECT_EQ(log_.Matching(kDoneLine).size(), 1u);
}

// A file that is no longer what was signed: of another length, it is not sent at all; of the
// same length, its bytes differ from the signed ones when its end is read, and the body is cut
// off there, never complete.
TEST_F(UploadTest, AFileOtherThanTheSignedOneIsNeverSentWhole) {
    CaptureServer server;
    Make();
    UploadJob job = Job(server.Url("/"), "signed and then changed");
    job.signedContent = FingerprintOf("signed");
    EXPECT_THROW(Upload(job), UploadFileError);
    EXPECT_EQ(server.RequestCount(), 0u);
    const std::string text = "Файл \"" + job.fileName + "\" изменился после подписи: отправка ";
    EXPECT_EQ(log_.Messages(), Texts{text + "отменена."});

    log_.ClearInfo();
    job.signedContent = FingerprintOf("SIGNED AND THEN CHANGED");
    EXPECT_THROW(Upload(job), UploadFileError);
    ASSERT_TRUE(server.WaitForRequests(1));
    const CapturedRequest request = server.Requests()[0];
    EXPECT_FALSE(request.complete);
    EXPECT_EQ(request.body.find("--" + BoundaryOf(request) + "--"), std::string::npos);
    EXPECT_EQ(log_.Messages(), (Texts{kStartLine, text + "прервана."}));
}

// A file that changes while it is sent: the transfer is cut off before the body is complete
// (the service never receives a whole upload of a file other than the one signed), the text
// is logged, and neither outcome handler runs. The file is larger than what the sockets
// buffer, so the change made when the server has read the head comes before the end is read.
TEST_F(UploadTest, AFileThatChangesWhileItIsSentIsCutOffBeforeTheBodyEnds) {
    constexpr std::uint64_t size = 64ull << 20;
    struct Case {
        const char* name;
        std::function<void(const std::string&)> change;
    };
    const Case cases[] = {
        {"grows", [](const std::string& file) { std::ofstream(file, std::ios::app) << "more"; }},
        {"shrinks", [](const std::string& file) { std::filesystem::resize_file(file, size / 2); }},
        {"is rewritten",
         [](const std::string& file) {
             std::fstream f(file, std::ios::in | std::ios::out | std::ios::binary);
             f.seekp(static_cast<std::streamoff>(size - 10));
             f << 'x';
         }},
    };
    for (const Case& c : cases) {
        log_.ClearInfo();
        const std::string file = (dir_ / "large.bin").string();
        CaptureServerOptions options;
        options.keepBodies = false;
        options.decide = [&](const CapturedRequest&) {
            c.change(file);
            return ReplyWith(200);
        };
        CaptureServer server(options);
        Make();
        UploadJob job = Job(server.Url("/"));
        job.fileName = file;
        WriteBytes(file, "");
        std::filesystem::resize_file(file, size);  // sparse: reads as zeros
        job.signedContent = FingerprintOf(std::string(size, '\0'));
        // An old modification time, so that a change within the same clock tick shows.
        const timespec old[2] = {{1000000000, 0}, {1000000000, 0}};
        ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), old, 0), 0);

        EXPECT_THROW(Upload(job), UploadFileError) << c.name;
        ASSERT_TRUE(server.WaitForRequests(1));
        const CapturedRequest request = server.Requests()[0];
        EXPECT_FALSE(request.complete) << c.name;
        EXPECT_LT(request.bodySize, std::stoull(request.Header("Content-Length").value_or("0")))
            << c.name;
        EXPECT_EQ(log_.Messages(),
                  (Texts{kStartLine,
                         "Файл \"" + file + "\" изменился во время отправки: отправка прервана."}))
            << c.name;
        EXPECT_EQ(stage_.load(), 1) << c.name;
    }
}

TEST_F(UploadTest, DebugAppendsTheRequestDumpInCodePage1251) {
    CaptureServer server;
    protocol_ = std::make_shared<TMyFile>((dir_ / "request.txt").string());
    Make();
    UploadJob job = Job(server.Url("/answer"), "FILE BYTES NOT DUMPED");
    job.userAgent = "Браузер";  // sent as UTF-8, dumped in code page 1251

    Upload(job);  // debug off
    EXPECT_EQ(ReadBytes(dir_ / "request.txt"), "");

    settings_.Update([](Settings& s) { s.debug = true; });
    Upload(job);
    ASSERT_EQ(server.RequestCount(), 2u);
    const CapturedRequest request = server.Requests()[1];
    EXPECT_EQ(request.Header("User-Agent"), "Браузер");
    const std::string b = BoundaryOf(request);
    const std::string head = request.body.substr(0, request.body.find("FILE BYTES"));
    const std::string dump = ReadBytes(dir_ / "request.txt");
    const std::string firstLine = dump.substr(0, dump.find("\r\n"));
    ASSERT_EQ(firstLine.size(), 13u);
    EXPECT_EQ(firstLine.substr(0, 5), "*--* ");
    EXPECT_EQ(dump.substr(firstLine.size()),
              ToCp1251("\r\n"
                       "POST " +
                       server.Url("/answer") +
                       " HTTP/1.1\r\n"
                       "Host: 127.0.0.1:" +
                       std::to_string(server.Port()) +
                       "\r\n"
                       "User-Agent: Браузер\r\n"
                       "Accept: */*\r\n"
                       "Accept-Language: ru-RU,ru;q=0.9,en;q=0.8\r\n"
                       "Accept-Charset: utf-8;q=0.7,*;q=0.3\r\n"
                       "Connection: Keep-Alive\r\n"
                       "Content-Type: multipart/form-data; boundary=" +
                       b +
                       "\r\n"
                       "Content-Length: " +
                       std::to_string(request.body.size()) +
                       "\r\n"
                       "\r\n" +
                       head + "\r\n"));
}

TEST_F(UploadTest, AnErrorStatusIsACompletedDelivery) {
    CaptureServerOptions options;
    options.decide = [](const CapturedRequest&) { return ReplyWith(500, "failure page"); };
    CaptureServer server(options);
    Make();
    Upload(Job(server.Url("/")));
    EXPECT_EQ(log_.Messages(),
              (Texts{kStartLine, "CS1Read ReceiveData:  AContentLength = 12 AReadCount = 12",
                     kDoneLine}));
    EXPECT_EQ(notifier_.Balloons(), Texts{"Отправка файла завершена"});
    EXPECT_EQ(stage_.load(), 0);
}

TEST_F(UploadTest, RefusedConnectionShowsTheMessageBoxOnce) {
    const int port = testing::FreeLoopbackPort();  // nobody listens there
    Make();
    Upload(Job("http://127.0.0.1:" + std::to_string(port) + "/"));
    const Texts errors = log_.Matching("CS1 Error: ");
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].rfind("CS1 Error: 12029: ", 0), 0u) << errors[0];
    ASSERT_EQ(notifier_.Boxes().size(), 1u);
    EXPECT_EQ(notifier_.Boxes()[0].text, kCannotConnectMessage);
    EXPECT_EQ(notifier_.Boxes()[0].caption, "Korvalo");
    EXPECT_EQ(notifier_.Balloons(), Texts{});
    EXPECT_EQ(stage_.load(), 1);  // an error leaves the stage as it was
}

// Every bad target ends in the error handler with its number, and the call returns.
TEST_F(UploadTest, BadTargetsEndInTheErrorHandler) {
    struct Case {
        std::string what;
        std::optional<ServerAction> server;  // nothing: no server
        std::string url;                     // "{server}" stands for the server's address
        std::string number;
        std::size_t fileSize = 100;
    };
    ServerAction hang;
    hang.kind = ServerAction::Kind::Hang;
    ServerAction garbage;
    garbage.kind = ServerAction::Kind::Garbage;
    ServerAction cut;
    cut.kind = ServerAction::Kind::CloseMidBody;
    cut.closeAfterBodyBytes = 1000;
    ServerAction endless;
    endless.kind = ServerAction::Kind::Endless;
    const ServerAction loop = ReplyWith(307, "", {"Location: /again"});
    const Case cases[] = {
        {"empty URL", std::nullopt, "", "12005"},
        {"not HTTP", std::nullopt, "ftp://127.0.0.1/upload", "12006"},
        {"unknown host", std::nullopt, "http://no-such-host.invalid/", "12007"},
        {"server never answers", hang, "{server}/", "12002"},
        {"garbage answer", garbage, "{server}/", "12152"},
        {"connection closed mid-body", cut, "{server}/", "12030", 8u << 20},
        {"answer without end", endless, "{server}/", "12152"},
        {"redirect loop", loop, "{server}/", "12156"},
        {"TLS to a plain server", ReplyWith(200), "https://127.0.0.1:{port}/", "12175"},
    };
    HttpClientOptions options;
    options.connectTimeout = std::chrono::seconds(5);
    options.responseTimeout = std::chrono::seconds(1);
    options.maxResponseBytes = 1 << 20;
    options.maxRedirects = 3;
    for (const Case& c : cases) {
        log_.ClearInfo();
        std::unique_ptr<CaptureServer> server;
        std::string url = c.url;
        if (c.server) {
            CaptureServerOptions serverOptions;
            serverOptions.decide = [action = *c.server](const CapturedRequest&) { return action; };
            server = std::make_unique<CaptureServer>(serverOptions);
            url = ReplaceAll(url, "{server}", server->Url(""));
            url = ReplaceAll(url, "{port}", std::to_string(server->Port()));
        }
        Make({}, options);
        ASSERT_NO_THROW(Upload(Job(url, std::string(c.fileSize, 'f')))) << c.what;

        const Texts errors = log_.Matching("CS1 Error: ");
        ASSERT_EQ(errors.size(), 1u) << c.what;
        EXPECT_EQ(errors[0].rfind("CS1 Error: " + c.number + ": ", 0), 0u)
            << c.what << ": " << errors[0];
        EXPECT_TRUE(log_.Matching(kDoneLine).empty()) << c.what;
        EXPECT_EQ(stage_.load(), 1) << c.what;
    }
    EXPECT_TRUE(notifier_.Boxes().empty());
}

TEST_F(UploadTest, RedirectsAreFollowedWithTheBody) {
    CaptureServerOptions options;
    options.decide = [](const CapturedRequest& r) {
        if (r.RequestLine().find(" /first ") != std::string::npos)
            return ReplyWith(307, "", {"Location: /second"});
        return ReplyWith(200);
    };
    CaptureServer server(options);
    Make();
    Upload(Job(server.Url("/first"), "payload"));
    ASSERT_EQ(server.RequestCount(), 2u);
    const auto requests = server.Requests();
    EXPECT_EQ(requests[1].RequestLine(), "POST /second HTTP/1.1");
    EXPECT_EQ(requests[1].body, requests[0].body);
    EXPECT_EQ(log_.Matching(kDoneLine).size(), 1u);
}

// A 401 is the web server's: its own prompt names the host; answered, the second POST carries
// the answer to that server; cancelled, nothing more is sent and the 401 completes the upload.
// The proxy dialog never opens and the proxy credentials stay as they were, stored or not.
TEST_F(UploadTest, ServerChallengeGetsTheServerPromptNeverTheProxyDialog) {
    const std::string expected = "Basic " + Base64Encode("web:secret");
    CaptureServerOptions options;
    options.decide = [expected](const CapturedRequest& r) {
        if (r.Header("Authorization") == expected)
            return ReplyWith(200);
        return ReplyWith(401, "login", {"WWW-Authenticate: Basic realm=\"portal\""});
    };
    CaptureServer server(options);
    const std::string host = "127.0.0.1:" + std::to_string(server.Port());
    settings_.Update([](Settings& s) {
        s.proxyAccess = "c3RvcmVkOmFjY2Vzcw==";
        s.userName = "stored";
        s.userPwd = "access";
    });
    for (const bool answer : {true, false}) {
        SCOPED_TRACE(answer ? "answered" : "cancelled");
        log_.ClearInfo();
        const std::size_t before = server.RequestCount();
        Make({}, {},
             {answer ? ScriptedPrompt::Answer(std::make_pair("web", "secret"))
                     : ScriptedPrompt::Answer()});
        Upload(Job(server.Url("/")));
        EXPECT_EQ(serverPrompt_->Hosts(), Texts{host});
        EXPECT_EQ(prompt_->Calls(), 0);
        EXPECT_EQ(log_.Matching("401 Требуется авторизация на сервере " + host).size(), 1u);
        // No proxy line ("---> 407 ..."); the server's port may hold the digits 407.
        EXPECT_TRUE(log_.Matching("> 407 ").empty());
        // The upload completes either way (with 200, or with the 401).
        EXPECT_EQ(log_.Matching(kDoneLine).size(), 1u);
        const auto requests = server.Requests();
        ASSERT_EQ(requests.size(), before + (answer ? 2u : 1u));
        EXPECT_EQ(requests[before].Header("Authorization"), std::nullopt);
        if (answer) {
            EXPECT_EQ(requests[before + 1].Header("Authorization"), expected);
            EXPECT_EQ(requests[before + 1].body, requests[before].body);
        }
        const Settings now = settings_.Snapshot();
        EXPECT_EQ(now.proxyAccess, "c3RvcmVkOmFjY2Vzcw==");
        EXPECT_EQ(now.userName, "stored");
        EXPECT_EQ(now.userPwd, "access");
        EXPECT_FALSE(std::filesystem::exists(ini_));
    }
    // The next upload does not remember the answer: it is asked again.
    Make({}, {}, {});
    Upload(Job(server.Url("/")));
    EXPECT_EQ(serverPrompt_->Hosts().size(), 1u);
}

// Without a proxy a 407 comes from the web server itself: it is a completed delivery, and the
// proxy dialog does not open (a page cannot collect the proxy password this way).
TEST_F(UploadTest, A407FromTheWebServerIsNoProxyChallenge) {
    CaptureServerOptions options;
    options.decide = [](const CapturedRequest&) {
        return ReplyWith(407, "give me the proxy password",
                         {"Proxy-Authenticate: Basic realm=\"corporate proxy\""});
    };
    CaptureServer server(options);
    Make({std::make_pair(std::string("user"), std::string("pass"))});
    Upload(Job(server.Url("/")));
    EXPECT_EQ(prompt_->Calls(), 0);
    EXPECT_EQ(server.RequestCount(), 1u);
    EXPECT_EQ(log_.Matching(kDoneLine).size(), 1u);
    EXPECT_EQ(settings_.Snapshot().proxyAccess, "");
    EXPECT_FALSE(std::filesystem::exists(ini_));
}

class HttpsUploadTest : public UploadFixture {
protected:
    void SetUp() override {
        const std::string cmd =
            "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 "
            "-nodes -days 1 -subj /CN=portal.test -keyout '" +
            (dir_ / "key.pem").string() + "' -out '" + (dir_ / "cert.pem").string() +
            "' >/dev/null 2>&1";
        ASSERT_EQ(std::system(cmd.c_str()), 0);
    }
    CaptureServerOptions Tls(bool askForClientCertificate) {
        CaptureServerOptions options;
        options.certificateFile = (dir_ / "cert.pem").string();
        options.keyFile = (dir_ / "key.pem").string();
        options.requestClientCertificate = askForClientCertificate;
        return options;
    }
};

TEST_F(HttpsUploadTest, AnySelfSignedCertificateIsLoggedAndAccepted) {
    CaptureServer server(Tls(false));
    Make();
    Upload(Job(server.Url("/"), "secret"));
    ASSERT_EQ(server.RequestCount(), 1u);
    EXPECT_NE(server.Requests()[0].body.find("secret"), std::string::npos);
    const Texts tls = log_.Matching("*** HTTPS - protokol: ");
    ASSERT_EQ(tls.size(), 1u);
    EXPECT_EQ(tls[0].rfind("*** HTTPS - protokol: TLSv1.3, algorithm: TLS_", 0), 0u) << tls[0];
    EXPECT_TRUE(log_.Matching("NeedClientCertificate").empty());
    EXPECT_EQ(log_.Matching(kDoneLine).size(), 1u);
}

TEST_F(HttpsUploadTest, AClientCertificateRequestIsLoggedAndAnsweredWithNone) {
    CaptureServer server(Tls(true));
    Make();
    Upload(Job(server.Url("/")));
    EXPECT_EQ(log_.Matching("*** NetHTTPClient1NeedClientCertificate").size(), 1u);
    EXPECT_EQ(server.RequestCount(), 1u);
    EXPECT_EQ(log_.Matching(kDoneLine).size(), 1u);
}

TEST_F(UploadTest, AFileOfSeveralHundredMebibytesIsDelivered) {
    CaptureServerOptions options;
    options.keepBodies = false;
    CaptureServer server(options);
    Make();
    UploadJob job = Job(server.Url("/"));
    const std::uint64_t size = 300ull << 20;
    std::filesystem::resize_file(job.fileName, size);  // sparse: reads as zeros
    Upload(job);
    ASSERT_EQ(server.RequestCount(), 1u);
    const CapturedRequest request = server.Requests()[0];
    EXPECT_TRUE(request.complete);
    EXPECT_GT(request.bodySize, size);
    EXPECT_EQ(log_.Matching(kDoneLine).size(), 1u);
}

}  // namespace
}  // namespace korvalo
