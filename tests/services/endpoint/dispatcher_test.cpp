// The dispatcher over real sockets: every answer the browser can receive, byte for byte, the
// log lines, the protocol records, the upload it asks for, and the busy gate.

#include <fstream>
#include <future>
#include <thread>

#include "core/base64.h"
#include "core/text.h"
#include "services/endpoint/answer_pages.h"
#include "services/endpoint/endpoint_fixture.h"
#include "services/endpoint/local_endpoint.h"
#include "state/log/log_lines.h"

namespace korvalo {
namespace {

using namespace korvalo::testing;

const std::string kForm =
    "urlToAnswer=http%3A%2F%2Fsvc%2Fanswer&urlToRedirect=http%3A%2F%2Fsvc%2Fdone"
    "&crpt_message=%D0%9F%D1%80%D0%B8&crpt_cookie=sid%3D1&certificateNum=0A+1B";
const std::string kRedirect = "http://svc/done";

std::string UploadedAnswer(const std::string& url) {
    return std::string("HTTP/1.1 200 OK\r\nServer: Korvalo Version ") + kVersion + "\r\n" + kCors +
           "\r\n" + ToCp1251(RedirectPage(url));
}

std::string Busy499(const std::string& utf8Body) {
    return std::string("HTTP/1.1 499 Client Closed Request\r\n") + kCors + "\r\n" + utf8Body;
}

const std::string kEmpty200 = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";

class DispatcherTest : public EndpointFixture {};

// The dialogs and their engines get the settings they read: the digest and the token modules.
TEST_F(DispatcherTest, TheDialogGetsTheSigningSettings) {
    SetSettings([](Settings& s) {
        s.hashAlgOID = "2.16.840.1.101.3.4.2.1";
        s.pkcs11Modules = {"/opt/token/module.so"};
    });
    Start();
    dialogs_.Queue({.code = 8});
    Send(Get(kForm));
    const auto calls = dialogs_.Calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].options.hashAlgOID, "2.16.840.1.101.3.4.2.1");
    EXPECT_EQ(calls[0].options.pkcs11Modules, std::vector<std::string>{"/opt/token/module.so"});
}

// Row "upload done": message signed, uploaded, redirect page with the direct head.
TEST_F(DispatcherTest, SignedMessageIsUploadedAndRedirected) {
    Start();
    const std::string signature = Base64Encode(std::string(100, 's'));  // 136 characters
    dialogs_.Queue({.code = 1, .signature = signature});
    EXPECT_EQ(Send(Get(kForm + "&noshow=TRUE&maxFileUpload=77&extra=x")),
              UploadedAnswer(kRedirect));

    const auto calls = dialogs_.Calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].kind, "msg");
    EXPECT_FALSE(calls[0].showMessage);
    EXPECT_EQ(calls[0].fileContent, "\xCF\xF0\xE8");  // "При" in code page 1251
    EXPECT_EQ(calls[0].options.certificateNum, "0A 1B");
    EXPECT_EQ(calls[0].options.maxFileUpload, 77);
    EXPECT_TRUE(calls[0].fileName.starts_with(tempFolder_));
    EXPECT_TRUE(calls[0].fileName.ends_with(".htm"));

    const auto uploads = uploader_.Uploads();
    ASSERT_EQ(uploads.size(), 1u);
    const UploadJob& job = uploads[0].job;
    EXPECT_EQ(job.url, "http://svc/answer");
    EXPECT_EQ(job.signature, WrapSignature(signature));
    EXPECT_EQ(job.signature.substr(64, 2), "\r\n");
    EXPECT_EQ(job.fileName, calls[0].fileName);
    EXPECT_EQ(uploads[0].fileContent, "\xCF\xF0\xE8");
    // The upload sends the file only while it holds what was written and signed.
    EXPECT_EQ(job.signedContent, FingerprintOf("\xCF\xF0\xE8"));
    EXPECT_EQ(job.userAgent, "TestAgent/1.0");
    EXPECT_EQ(job.cookie, "sid=1");
    EXPECT_EQ(job.paramList, (std::vector<std::string>{
                                 "urlToAnswer=http://svc/answer", "urlToRedirect=http://svc/done",
                                 "crpt_message=\xC3\x90\xC2\x9F\xC3\x91\xC2\x80\xC3\x90\xC2\xB8",
                                 "crpt_cookie=sid=1", "certificateNum=0A 1B", "noshow=TRUE",
                                 "maxFileUpload=77", "extra=x"}));
    EXPECT_EQ(uploads[0].stage, 1);
    EXPECT_TRUE(dispatcher_->SignEnabled());
    // Without debug only the lines of every request; a GET logs nothing on admission.
    EXPECT_TRUE(log_.Lines().empty());
    EXPECT_EQ(dispatcher_->Fields().signature, WrapSignature(signature));
}

// Row "Закрыть": redirect page written by the layer, no upload, no CORS.
TEST_F(DispatcherTest, ClosedDialogRedirectsWithoutUpload) {
    Start();
    dialogs_.Queue({.code = 8});
    const std::string page = ToCp1251(RedirectPage(kRedirect));
    EXPECT_EQ(Send(Get(kForm)),
              std::string("HTTP/1.1 200 OK\r\nServer: Korvalo Version ") + kVersion +
                  "\r\nContent-Type: text/html; charset=windows-1251\r\nContent-Length: " +
                  std::to_string(page.size()) + "\r\nConnection: close\r\n\r\n" + page);
    EXPECT_TRUE(uploader_.Uploads().empty());
    EXPECT_EQ(notifier_.Balloons(), std::vector<std::string>{"Перенаправление на " + kRedirect});
    EXPECT_EQ(log_.Texts(), std::vector<std::string>{" ---> Перенаправление на " + kRedirect});
    EXPECT_TRUE(dispatcher_->SignEnabled());

    // The file dialog the same way (no message, no login).
    dialogs_.Queue({.code = 8});
    const std::string answer =
        Send(Get("urlToAnswer=http%3A%2F%2Fsvc%2Fanswer&urlToRedirect=http%3A%2F%2Fsvc%2Fdone"));
    EXPECT_TRUE(answer.ends_with(page));
    ASSERT_EQ(dialogs_.Calls().size(), 2u);
    EXPECT_EQ(dialogs_.Calls()[1].kind, "file");
    EXPECT_EQ(dialogs_.Calls()[1].mode, 2);
    EXPECT_TRUE(uploader_.Uploads().empty());
}

// Row "as above with urlToRedirect empty": a form request always has the address, so the row
// is reached only through SendRedirectPage itself; this serves it over the same layer.
TEST_F(DispatcherTest, RedirectWithoutAddressIsPlainOk) {
    struct OkHandlers : IHttpHandlers {
        RecordingLog& log;
        RecordingNotifier& notifier;
        OkHandlers(RecordingLog& l, RecordingNotifier& n) : log(l), notifier(n) {}
        void IdHTTPServer1Connect(ConnectionContext&) override {}
        void IdHTTPServer1CommandGet(ConnectionContext&, const HttpRequestInfo&,
                                     HttpResponseInfo& response) override {
            SendRedirectPage(response, "", RedirectServices{log, notifier, nullptr, true, "1"});
        }
        void IdHTTPServer1CommandOther(ConnectionContext&, const HttpRequestInfo&,
                                       HttpResponseInfo&) override {}
        void IdHTTPServer1CommandError(ConnectionContext&, const HttpRequestInfo&,
                                       const std::string&, HttpResponseInfo&) override {}
        void IdHTTPServer1Exception(ConnectionContext&, const std::string&) override {}
    } handlers(log_, notifier_);
    EndpointOptions options;
    options.port = 0;
    HttpServer server(handlers, options);
    server.Open();
    EXPECT_EQ(Exchange(server.Port(), Get("")),
              "HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: 2\r\n"
              "Connection: close\r\n\r\nOK");
    EXPECT_TRUE(log_.Lines().empty());
    EXPECT_TRUE(notifier_.Balloons().empty());
}

// Rows "busy, form request" and "busy, JSON request".
TEST_F(DispatcherTest, BusyAnswersWhileADialogIsOpen) {
    Start();
    dialogs_.Queue({.code = 1, .signature = "SIG", .block = true});
    auto first = std::async(std::launch::async, [&] { return Send(Get(kForm)); });
    ASSERT_TRUE(dialogs_.WaitBlocked(1));
    EXPECT_FALSE(dispatcher_->SignEnabled());

    EXPECT_EQ(Send(Get(kForm)), Busy499(BusyPage(kVersion)));
    EXPECT_EQ(Send(Post(R"({"files":[]})", "application/json")),
              Busy499(std::string(kBusyJsonBody)));
    // CORS preflights are still answered.
    EXPECT_TRUE(Send("OPTIONS / HTTP/1.1\r\n\r\n").starts_with("HTTP/1.1 200 OK\r\n"));

    dialogs_.Release();
    EXPECT_EQ(first.get(), UploadedAnswer(kRedirect));
    EXPECT_EQ(dialogs_.Calls().size(), 1u);
    EXPECT_TRUE(dispatcher_->SignEnabled());
    const auto texts = log_.Texts();
    EXPECT_EQ(std::count(texts.begin(), texts.end(), "ERROR_ALREADY_EXISTS"), 2);
}

// Row "form request lacks addresses": 301 back to the Referer.
TEST_F(DispatcherTest, MissingAddressSendsBrowserBack) {
    Start();
    const std::string expected =
        std::string("HTTP/1.1 301 Moved Permanently\r\nLocation: http://site/page\r\n") +
        "Server: Korvalo Version " + kVersion +
        "\r\nContent-Type: text/html; charset=windows-1251\r\nContent-Length: 32\r\n"
        "Connection: close\r\n\r\n<html><body>lalala</body></html>";
    EXPECT_EQ(Send(Get("urlToAnswer=A")), expected);
    EXPECT_EQ(Send(Get("urlToAnswer=A&urlToRedirect=")), expected);
    // The same JSON body with a charset in its Content-Type is a form request.
    EXPECT_EQ(Send(Post(R"({"urlToAnswer":"A","urlToRedirect":"B","files":[]})",
                        "application/json; charset=utf-8")),
              expected);
    EXPECT_TRUE(dialogs_.Calls().empty());
    EXPECT_TRUE(dispatcher_->SignEnabled());
    const auto texts = log_.Texts();
    EXPECT_EQ(std::count(texts.begin(), texts.end(), " ---> SS1: недостаточно параметров"), 3);
    // Without a Referer there is no Location.
    EXPECT_TRUE(Send("GET /?a=1 HTTP/1.1\r\n\r\n")
                    .starts_with(std::string("HTTP/1.1 301 Moved Permanently\r\nServer: ")));
}

// Row "batch document without jobs".
TEST_F(DispatcherTest, BatchWithoutJobsAnswersAtOnce) {
    Start();
    EXPECT_EQ(Send(Post(R"({"urlToAnswer":"A","urlToRedirect":"B"})", "application/json")),
              std::string("HTTP/1.1 200 OK\r\nLocation: http://site/page\r\nServer: Korvalo "
                          "Version ") +
                  kVersion + "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
    EXPECT_TRUE(dialogs_.Calls().empty());
    EXPECT_TRUE(dispatcher_->SignEnabled());
}

// Row "other HTTP method".
TEST_F(DispatcherTest, OptionsGetsCorsHeaders) {
    Start();
    EXPECT_EQ(Send("OPTIONS /sign HTTP/1.1\r\nHost: x\r\nReferer: http://site/page\r\n"
                   "Access-Control-Request-Method: POST\r\n\r\n"),
              std::string("HTTP/1.1 200 OK\r\nLocation: http://site/page\r\nServer: Korvalo "
                          "Version ") +
                  kVersion + "\r\n" + kCors + "Content-Length: 0\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(log_.Texts(), std::vector<std::string>{" --->*** HTTPServer1CommandOther"});
    // Reachable over IPv6 loopback as well.
    EXPECT_TRUE(Send("PUT / HTTP/1.1\r\n\r\n", "::1").starts_with("HTTP/1.1 200 OK\r\n"));
}

// Row "dialog closed by its window (code 2), or a failure": the layer's empty answer.
TEST_F(DispatcherTest, WindowClosedAndFailuresGiveEmptyAnswer) {
    Start();
    dialogs_.Queue({.code = 2});
    EXPECT_EQ(Send(Get(kForm)), kEmpty200);
    dialogs_.Queue({.code = 2});
    EXPECT_EQ(Send(Post(R"({"files":[{"id":1,"data64":"YQ=="}]})", "application/json")), kEmpty200);
    EXPECT_TRUE(uploader_.Uploads().empty());

    // The batch dialog fails: the request ends with the empty answer, the gate reopens.
    dialogs_.Queue({.throwError = true});
    EXPECT_EQ(Send(Post(R"({"files":[{"id":1,"data64":"YQ=="}]})", "application/json")), kEmpty200);
    EXPECT_EQ(log_.Texts().back(), " ---> Except onCommandGet");
    EXPECT_TRUE(dispatcher_->SignEnabled());

    // The upload fails: the request ends with the empty answer.
    uploader_.throwError = true;
    dialogs_.Queue({.code = 1, .signature = "S"});
    EXPECT_EQ(Send(Get(kForm)), kEmpty200);
    EXPECT_EQ(log_.Texts().back(), " ---> Except onCommandGet");
    EXPECT_EQ(uploader_.Uploads().size(), 1u);
    EXPECT_TRUE(dispatcher_->SignEnabled());
}

TEST_F(DispatcherTest, BadBatchDocumentsEndTheRequestAndLeaveTheGateOpen) {
    Start();
    const std::vector<std::string> bodies = {
        R"({"urlToAnswer":"A","files":[{"id":1,"data64")",  // truncated
        std::string(R"({"a":)") + std::string(100000, '[') + std::string(100000, ']') + "}",
        R"({"files":[{"id":1,"data64":"YQ=="},"text"]})",  // element not an object
        R"({"files":{"id":1}})",                           // files not an array
        "[1,2,3]",
        "",
    };
    for (const std::string& body : bodies) {
        SCOPED_TRACE(body.substr(0, 40));
        EXPECT_EQ(Send(Post(body, "application/json")), kEmpty200);
        EXPECT_EQ(log_.Texts().back(), " ---> Except onCommandGet");
        EXPECT_TRUE(dispatcher_->SignEnabled());
    }
    EXPECT_TRUE(dialogs_.Calls().empty());
    // A GET with the JSON type has no body: the empty text is no document either.
    EXPECT_EQ(Send(Get("", "Content-Type: application/json\r\n")), kEmpty200);
}

// Row "batch not signed" and the signed batch with its answer file.
TEST_F(DispatcherTest, BatchSignedOrNot) {
    Start();
    const std::string doc =
        R"({"urlToAnswer":"http://svc/answer","urlToRedirect":"http://svc/done","crpt_cookie":"c1",)"
        R"("beanName":"\u00d0\u0091","idUser":"7","files":[{"id":"a","data64":"YWJj"},{"id":"b"},)"
        R"({"id":"c","data64":"ZGVm"}],"other":1})";
    dialogs_.Queue({.code = 8});
    EXPECT_EQ(Send(Post(doc, "application/json")), Busy499(std::string(kBatchCancelledBody)));
    EXPECT_TRUE(uploader_.Uploads().empty());
    EXPECT_TRUE(dispatcher_->SignEnabled());

    dialogs_.Queue({.code = 1, .jobSigns = {"SIG\r\nA\r\n", ""}, .jobErrors = {"", "нет"}});
    EXPECT_EQ(Send(Post(doc, "APPLICATION/JSON")), UploadedAnswer("http://svc/done"));
    const auto calls = dialogs_.Calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[1].kind, "files");
    EXPECT_EQ(calls[1].jobIds, (std::vector<std::string>{"a", "c"}));
    EXPECT_EQ(calls[1].jobData, (std::vector<std::string>{"abc", "def"}));
    const auto uploads = uploader_.Uploads();
    ASSERT_EQ(uploads.size(), 1u);
    const UploadJob& job = uploads[0].job;
    EXPECT_EQ(job.signature, "json");
    EXPECT_EQ(job.url, "http://svc/answer");
    EXPECT_EQ(job.cookie, "c1");
    EXPECT_TRUE(job.fileName.starts_with(tempFolder_));
    EXPECT_TRUE(job.fileName.ends_with(".txt"));
    EXPECT_EQ(job.paramList,
              (std::vector<std::string>{"urlToAnswer=http://svc/answer",
                                        "urlToRedirect=http://svc/done", "crpt_cookie=c1",
                                        "beanName=\xC3\x90\xC2\x91", "idUser=7", "other=1"}));
    EXPECT_EQ(uploads[0].fileContent,
              "{\"urlToAnswer\":\"http://svc/answer\",\"urlToRedirect\":\"http://svc/done\","
              "\"crpt_cookie\":\"c1\",\"beanName\":\"Б\",\"beanMethod\":\"\",\"idUser\":\"7\","
              "\"files\":[{\"id\":\"a\",\"signature\":\"SIG\r\nA\r\n\",\"error\":\"\"},"
              "{\"id\":\"c\",\"signature\":\"\",\"error\":\"нет\"}]}");
    EXPECT_EQ(job.signedContent, FingerprintOf(uploads[0].fileContent));
    const auto texts = log_.Texts();
    ASSERT_GE(texts.size(), 1u);
    EXPECT_EQ(NoTimes(texts.back()),
              " ---> SS1: установлено соединение\r\nhh:nn:ss ---> Контент "
              "принят ---> " +
                  std::to_string(doc.size()));
}

TEST_F(DispatcherTest, IdCardBatchAndIdCardFormSignature) {
    Start();
    const std::string doc = R"({"useIdCard":"1","files":[{"id":1,"data64":"YQ=="}]})";
    dialogs_.Queue({.code = 8});
    EXPECT_EQ(Send(Post(doc, "application/json")), Busy499(std::string(kBatchCancelledBody)));
    dialogs_.Queue({.code = 1, .jobSigns = {"CARD"}});
    EXPECT_TRUE(Send(Post(doc, "application/json")).starts_with("HTTP/1.1 200 OK\r\n"));
    // The next document does not ask for the card: the batch window opens, as for any
    // document that does not name useIdCard.
    dialogs_.Queue({.code = 1, .jobSigns = {"STORE"}});
    EXPECT_TRUE(Send(Post(R"({"urlToRedirect":"B","files":[{"id":1,"data64":"YQ=="}]})",
                          "application/json"))
                    .starts_with("HTTP/1.1 200 OK\r\n"));
    const auto calls = dialogs_.Calls();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].kind, "idcard");
    EXPECT_EQ(calls[1].kind, "idcard");
    EXPECT_EQ(calls[2].kind, "files");
    EXPECT_EQ(calls[2].options.useIdCard, 0);

    // A form request with the card: the signature is not wrapped.
    const std::string card(100, 'C');
    dialogs_.Queue({.code = 1, .signature = card});
    Send(Get(kForm + "&useIdCard=1"));
    ASSERT_EQ(uploader_.Uploads().size(), 3u);
    EXPECT_EQ(uploader_.Uploads()[2].job.signature, card);
    EXPECT_EQ(dialogs_.Calls()[3].options.useIdCard, 1);
}

TEST_F(DispatcherTest, LoginAndCompanionModeRunNoDialog) {
    Start();
    dialogs_.Queue({.code = 1, .signature = "PREV"});
    Send(Get(kForm));
    // A login request: empty message file, no dialog; the earlier request's signature is
    // not sent along.
    EXPECT_EQ(Send(Get("urlToAnswer=A&urlToRedirect=B&crpt_login=user")), UploadedAnswer("B"));
    ASSERT_EQ(uploader_.Uploads().size(), 2u);
    const auto login = uploader_.Uploads()[1];
    EXPECT_EQ(login.fileContent, "");
    EXPECT_TRUE(login.job.fileName.ends_with(".htm"));
    EXPECT_EQ(login.job.signature, "");
    EXPECT_EQ(dialogs_.Calls().size(), 1u);

    // Companion mode: a message is written but not shown; a file request runs no dialog.
    SetSettings([](Settings& s) { s.signatureKZ = true; });
    Send(Get("urlToAnswer=A&urlToRedirect=B&crpt_message=hi"));
    Send(Get("urlToAnswer=A&urlToRedirect=B"));
    EXPECT_EQ(dialogs_.Calls().size(), 1u);
    ASSERT_EQ(uploader_.Uploads().size(), 4u);
    EXPECT_EQ(uploader_.Uploads()[2].fileContent, "hi");
}

// The file dialog's account of what its engine signed goes to the upload with the file; a
// dialog that failed vouches for nothing.
TEST_F(DispatcherTest, TheUploadKnowsWhatTheFileDialogSigned) {
    Start();
    const std::string form = "urlToAnswer=A&urlToRedirect=B";
    const ContentFingerprint signedContent = FingerprintOf("the chosen file");
    dialogs_.Queue({.code = 1,
                    .signature = "S",
                    .chosenFile = "/docs/chosen.pdf",
                    .signedContent = signedContent});
    dialogs_.Queue({.throwError = true});
    Send(Get(form));
    Send(Get(form));
    const auto uploads = uploader_.Uploads();
    ASSERT_EQ(uploads.size(), 2u);
    EXPECT_EQ(uploads[0].job.fileName, "/docs/chosen.pdf");
    EXPECT_EQ(uploads[0].job.signedContent, signedContent);
    EXPECT_EQ(uploads[1].job.signedContent, std::nullopt);
}

TEST_F(DispatcherTest, DialogErrorIsSwallowedAndUploadRuns) {
    Start();
    dialogs_.Queue({.throwError = true});
    EXPECT_EQ(Send(Get(kForm)), UploadedAnswer(kRedirect));
    EXPECT_EQ(uploader_.Uploads().size(), 1u);
    EXPECT_TRUE(log_.Lines().empty());
    EXPECT_TRUE(dispatcher_->SignEnabled());

    // The temporary folder cannot be made: swallowed as well; the upload names no file
    // rather than the earlier request's.
    std::filesystem::remove_all(root_);
    std::ofstream(root_.string()) << "a file where the folder's parent should be";
    EXPECT_EQ(Send(Get(kForm)), UploadedAnswer(kRedirect));
    EXPECT_EQ(uploader_.Uploads().size(), 2u);
    EXPECT_EQ(uploader_.Uploads()[1].job.fileName, "");
    EXPECT_EQ(uploader_.Uploads()[1].job.signature, "");
    std::filesystem::remove(root_);
    std::filesystem::create_directories(root_);
}

TEST_F(DispatcherTest, DebugWritesRecordsAndLines) {
    Start(/*debug=*/true);
    dialogs_.Queue({.code = 1, .signature = "S"});
    const std::string request = Post("crpt_message=hi&x=a+b", "application/x-www-form-urlencoded",
                                     "urlToAnswer=A&urlToRedirect=B");
    Send(request);
    const std::string page = RedirectPage("B");
    const std::string body =
        "POST /?urlToAnswer=A&urlToRedirect=B HTTP/1.1\r\nHost: 127.0.0.1\r\n"
        "User-Agent: TestAgent/1.0\r\nReferer: http://site/page\r\n"
        "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: 21\r\n\r\n" +
        UrlEncodeForm("crpt_message=hi\r\nx=a b\r\nurlToAnswer=A\r\nurlToRedirect=B\r\n") + "\r\n";
    const std::string head = std::string("HTTP/1.1 200 OK\r\nServer: Korvalo Version ") + kVersion +
                             "\r\nAccess-Control-Allow-Origin=*\r\nAccess-Control-Allow-Methods="
                             "POST\r\nAccess-Control-Allow-Headers=Content-Type\r\n";
    const std::string expected =
        "*** hh:nn:ss size: " + std::to_string(body.size()) + "\r\n" + body + "\r\n" +
        "*--* hh:nn:ss size: " + std::to_string(head.size() + CharCount(page)) + "\r\n" + head +
        "\r\n" + ToCp1251(page) + "\r\n";
    EXPECT_EQ(NoTimes(Protocol()), expected);
    std::vector<std::string> texts;
    for (const std::string& line : log_.Lines())
        texts.push_back(NoTimes(line));
    const std::string folder = tempFolder_;
    EXPECT_EQ(texts, (std::vector<std::string>{
                         "hh:nn:ss ---> SS1: установлено соединение\r\nhh:nn:ss ---> Контент "
                         "принят ---> 21",
                         "hh:nn:ss ---> Подпись сообщения", "hh:nn:ss ---> Temp: " + folder}));

    // A batch closed with 8 answers 499: a request record, no answer record.
    log_.ClearInfo();
    const std::string before = Protocol();
    dialogs_.Queue({.code = 8});
    Send(Post(R"({"urlToRedirect":"C","files":[]})", "application/json"));
    const std::string added = Protocol().substr(before.size());
    EXPECT_TRUE(added.starts_with("*** "));
    EXPECT_EQ(added.find("*--* "), std::string::npos);
    EXPECT_EQ(NoTimes(log_.Lines()[1]), "hh:nn:ss ---> Разбор параметров");
    // The redirect record of a closed message dialog.
    dialogs_.Queue({.code = 8});
    Send(Get("urlToAnswer=A&urlToRedirect=C&crpt_message=m"));
    EXPECT_TRUE(
        NoTimes(Protocol())
            .ends_with("*--* hh:nn:ss size: " + std::to_string(CharCount(RedirectPage("C"))) +
                       "\r\n" + ToCp1251(RedirectPage("C")) + "\r\n"));
    // A POST without Content-Length shows -1.
    Send("POST / HTTP/1.1\r\nHost: x\r\n\r\n");
    const auto lines = log_.Lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_TRUE(lines[lines.size() - 2].ends_with(" ---> Контент принят ---> -1"));
    EXPECT_TRUE(lines.back().ends_with(" ---> SS1: недостаточно параметров"));
}

TEST_F(DispatcherTest, AcceptedConnectionEmptiesAnOverlongLog) {
    Start();
    log_.Fill(10241);
    Send("OPTIONS / HTTP/1.1\r\n\r\n");
    EXPECT_EQ(log_.Clears(), 1);
    EXPECT_EQ(log_.Texts(), std::vector<std::string>{" --->*** HTTPServer1CommandOther"});
    log_.Fill(10240 - log_.LogLength());
    Send("OPTIONS / HTTP/1.1\r\n\r\n");
    EXPECT_EQ(log_.Clears(), 1);
}

TEST_F(DispatcherTest, HandlerAndConnectionErrorsAreLogged) {
    Start();
    // The dispatcher's own error line fails: the error escapes to the layer, which answers
    // 500 with the message, and the handler error line is written.
    log_.ThrowOn("Except onCommandGet");
    const RawAnswer answer = SplitAnswer(Send(Post("[", "application/json")));
    EXPECT_TRUE(answer.head.starts_with("HTTP/1.1 500 Internal Server Error\r\n"));
    EXPECT_EQ(answer.body, "log refused");
    EXPECT_EQ(log_.Texts().back(), " ---> SS1 ошибка. " + answer.body);
    EXPECT_TRUE(dispatcher_->SignEnabled());

    // A request the layer cannot read.
    Send("NONSENSE\r\n\r\n");
    EXPECT_TRUE(
        log_.Texts().back().starts_with(" ---> *** HTTPServer1Exception: malformed request"))
        << log_.Texts().back();
}

TEST_F(DispatcherTest, LocalEndpointOpensOnceAndRefusesATakenPort) {
    EndpointOptions options;
    options.port = 0;
    LocalEndpoint first(Services(), options);
    first.Open();
    ASSERT_TRUE(first.Active());
    EXPECT_TRUE(first.Dispatcher().SignEnabled());
    EXPECT_TRUE(
        Exchange(first.Port(), "OPTIONS / HTTP/1.1\r\n\r\n").starts_with("HTTP/1.1 200 OK"));

    options.port = first.Port();
    LocalEndpoint second(Services(), options);
    EXPECT_THROW(second.Open(), std::system_error);
    EXPECT_FALSE(second.Active());
    first.Close();
    EXPECT_FALSE(first.Active());
}

}  // namespace
}  // namespace korvalo
