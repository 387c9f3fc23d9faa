// The delivery plugged into the real endpoint: a browser request is signed (scripted dialog),
// its result posted to a real web service, and the browser answered afterwards.

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <regex>
#include <utility>

#include "core/base64.h"
#include "core/text.h"
#include "services/delivery/endpoint_world.h"
#include "services/engines/criptsign.h"
#include "support/capture_server.h"
#include "support/cert_fixture.h"
#include "support/delivery_doubles.h"
#include "support/endpoint_doubles.h"
#include "support/processes.h"
#include "support/raw_client.h"

namespace korvalo {
namespace {

using testing::CaptureServer;
using testing::RecordingLog;
using testing::RecordingNotifier;
using testing::ScriptedDialogs;
using testing::ScriptedPrompt;
using testing::TempDir;
using Texts = std::vector<std::string>;

// Signs every job with "SIG-" and its position.
int SignEveryJob(TJobList& jobs) {
    for (std::size_t i = 0; i < jobs.size(); ++i)
        jobs[i].sign = "SIG-" + std::to_string(i + 1);
    return kResultSigned;
}

// The parts of an upload's multipart body as name and content, in order.
std::vector<std::pair<std::string, std::string>> Parts(const testing::CapturedRequest& upload) {
    const std::string type = upload.Header("Content-Type").value_or("");
    const std::string delimiter = "\r\n--" + type.substr(type.find("boundary=") + 9);
    const std::string body = "\r\n" + upload.body;
    std::vector<std::pair<std::string, std::string>> parts;
    std::size_t at = body.find(delimiter);
    while (at != std::string::npos && body.compare(at + delimiter.size(), 2, "--") != 0) {
        const std::size_t head = at + delimiter.size() + 2;
        const std::size_t content = body.find("\r\n\r\n", head) + 4;
        const std::size_t name = body.find("name=\"", head) + 6;
        const std::size_t next = body.find(delimiter, content);
        parts.emplace_back(body.substr(name, body.find('"', name) - name),
                           body.substr(content, next - content));
        at = next;
    }
    return parts;
}

// The content of the first part of that name ("<none>" when there is none).
std::string Part(const testing::CapturedRequest& upload, const std::string& name) {
    for (const auto& [partName, content] : Parts(upload)) {
        if (partName == name)
            return content;
    }
    return "<none>";
}

// A POST with a body of the given type, as a page sends it.
std::string Post(const std::string& body, const std::string& contentType) {
    return "POST / HTTP/1.1\r\nHost: 127.0.0.1\r\nUser-Agent: TestAgent/1.0\r\n"
           "Content-Type: " +
           contentType + "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

class EndpointUploadTest : public testing::EndpointWorld {
protected:
    void Start() {
        // The message dialog signs at once (wrapped into lines of 64 by the dispatcher); the
        // batch dialog signs as signBatch_ says (every job with "SIG-" and its position when it
        // is empty); the file dialog is not expected here.
        dialogs_.SetDefault({.code = kResultSigned,
                             .signature = std::string(100, 'S'),
                             .signJobs = signBatch_ ? signBatch_ : SignEveryJob});
        StartEndpoint();
    }
    std::string Send(const std::string& request) {
        return testing::Exchange(endpoint_->Port(), request);
    }
    // The job ids of each batch dialog run.
    std::vector<std::vector<std::string>> Batches() const {
        std::vector<std::vector<std::string>> batches;
        for (const testing::DialogCall& call : dialogs_.Calls()) {
            if (call.kind == "files")
                batches.push_back(call.jobIds);
        }
        return batches;
    }
    std::string Browse(const std::string& query) {
        return testing::Exchange(endpoint_->Port(), "GET /?" + query +
                                                        " HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                                                        "User-Agent: TestAgent/1.0\r\n\r\n");
    }

    std::function<int(TJobList&)> signBatch_;
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

// A message and an echoed value with Cyrillic, «, » and a no-break space, sent as pages send
// them: by GET, by POST without a character set, and by POST naming UTF-8 (jQuery and many
// frameworks) or windows-1251. The message file holds the text in code page 1251 and the echo
// its UTF-8 bytes percent-encoded, byte for byte the same whichever way it came; a text made
// only of characters up to U+00FF too.
TEST_F(EndpointUploadTest, FormTextArrivesTheSameWithOrWithoutACharset) {
    CaptureServer service;
    Start();
    struct Text {
        std::string utf8, cp1251;  // percent-encoded as a page sends it
        std::string messageFile, echoed;
    };
    const Text texts[] = {
        // "При «мир»\u00A0!"
        {"%D0%9F%D1%80%D0%B8+%C2%AB%D0%BC%D0%B8%D1%80%C2%BB%C2%A0%21",
         "%CF%F0%E8+%AB%EC%E8%F0%BB%A0%21", "\xCF\xF0\xE8 \xAB\xEC\xE8\xF0\xBB\xA0!",
         "%D0%9F%D1%80%D0%B8+%C2%AB%D0%BC%D0%B8%D1%80%C2%BB%C2%A0!"},
        // "«\u00A0»"
        {"%C2%AB%C2%A0%C2%BB", "%AB%A0%BB", "\xAB\xA0\xBB", "%C2%AB%C2%A0%C2%BB"},
    };
    const std::string addresses =
        "urlToAnswer=" + service.Url("/answer") + "&urlToRedirect=http://portal.test/done";
    const std::string form = "application/x-www-form-urlencoded";
    std::size_t uploads = 0;
    for (const Text& text : texts) {
        const std::string utf8 = addresses + "&crpt_message=" + text.utf8 + "&note=" + text.utf8;
        const std::string cp1251 =
            addresses + "&crpt_message=" + text.cp1251 + "&note=" + text.cp1251;
        const std::pair<std::string, std::string> requests[] = {
            {"GET",
             "GET /?" + utf8 + " HTTP/1.1\r\nHost: 127.0.0.1\r\nUser-Agent: TestAgent/1.0\r\n\r\n"},
            {"POST", Post(utf8, form)},
            {"POST charset=UTF-8", Post(utf8, form + "; charset=UTF-8")},
            {"POST charset=windows-1251", Post(cp1251, form + "; charset=windows-1251")},
        };
        for (const auto& [name, request] : requests) {
            SCOPED_TRACE(name + " " + text.utf8);
            const std::string answer = Send(request);
            EXPECT_EQ(answer.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << answer;
            ASSERT_EQ(service.RequestCount(), ++uploads);
            const auto upload = service.Requests()[uploads - 1];
            EXPECT_EQ(Part(upload, "crpt_file"), text.messageFile);
            EXPECT_EQ(dialogs_.Calls().back().fileContent, text.messageFile);
            EXPECT_EQ(Part(upload, "note"), text.echoed);
            EXPECT_EQ(Part(upload, "crpt_message"), "<none>");
        }
    }
}

// Batch documents as pages write them, and what the answer file and the echo carry: values
// mixing byte escapes with real-character escapes and a lone byte escape; numbers as written
// and a lone surrogate escape (the dialog opens); raw UTF-8 from JSON.stringify.
TEST_F(EndpointUploadTest, BatchValuesReachTheAnswerAndTheEchoAsText) {
    CaptureServer service;
    Start();
    const std::string addresses = "\"urlToAnswer\":\"" + service.Url("/answer") +
                                  "\",\"urlToRedirect\":\"http://portal.test/done\"";
    const std::string answerHead = "{\"urlToAnswer\":\"" + service.Url("/answer") +
                                   "\",\"urlToRedirect\":\"http://portal.test/done\","
                                   "\"crpt_cookie\":\"\",";
    struct Case {
        std::string name, document;
        std::vector<std::string> ids;  // as the dialog gets them
        std::string answer;            // the answer file after the addresses and cookie
        std::vector<std::pair<std::string, std::string>> echo;  // after the addresses
    };
    const Case cases[] = {
        {"escapes",
         "{" + addresses +
             R"(,"beanName":"\u00d0\u009f\u0418","beanMethod":"m","idUser":"\u00d0\u0418",)"
             R"("note":"\u00d0\u009f\u0418 \u00d0","files":[{"id":"1","data64":"YQ=="}]})",
         {"1"},
         "\"beanName\":\"ПИ\",\"beanMethod\":\"m\",\"idUser\":\"?И\",\"files\":[{\"id\":\"1\","
         "\"signature\":\"SIG-1\",\"error\":\"\"}]}",
         {{"beanName", "%D0%9F%D0%98"},
          {"beanMethod", "m"},
          {"idUser", "%C3%90%D0%98"},
          {"note", "%D0%9F%D0%98+%C3%90"}}},
        {"numbers and a lone surrogate",
         "{" + addresses +
             R"(,"z":-0,"big":1E400,"f":1.50,"s":"\ud800",)"
             R"("files":[{"id":-0,"data64":"YQ=="},{"id":1E400,"data64":"Yg=="},)"
             R"({"id":1.50,"data64":"Yw=="},{"id":"\ud800","data64":"ZA=="}]})",
         {"-0", "1E400", "1.50", "\uFFFD"},
         "\"beanName\":\"\",\"beanMethod\":\"\",\"idUser\":\"\",\"files\":["
         "{\"id\":\"-0\",\"signature\":\"SIG-1\",\"error\":\"\"},"
         "{\"id\":\"1E400\",\"signature\":\"SIG-2\",\"error\":\"\"},"
         "{\"id\":\"1.50\",\"signature\":\"SIG-3\",\"error\":\"\"},"
         "{\"id\":\"\uFFFD\",\"signature\":\"SIG-4\",\"error\":\"\"}]}",
         {{"z", "-0"}, {"big", "1E400"}, {"f", "1.50"}, {"s", "%EF%BF%BD"}}},
        {"JSON.stringify",
         "{" + addresses +
             ",\"beanName\":\"Иванов\",\"idUser\":\"Иванов И. «ИП»\",\"files\":[{\"id\":"
             "\"д1\",\"data64\":\"YQ==\"}]}",
         {"д1"},
         "\"beanName\":\"Иванов\",\"beanMethod\":\"\",\"idUser\":\"Иванов И. «ИП»\",\"files\":"
         "[{\"id\":\"д1\",\"signature\":\"SIG-1\",\"error\":\"\"}]}",
         {{"beanName", "%D0%98%D0%B2%D0%B0%D0%BD%D0%BE%D0%B2"},
          {"idUser", "%D0%98%D0%B2%D0%B0%D0%BD%D0%BE%D0%B2+%D0%98.+%C2%AB%D0%98%D0%9F%C2%BB"}}},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.name);
        const std::string answer = Send(Post(c.document, "application/json"));
        EXPECT_EQ(answer.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << answer;
        const std::vector<std::vector<std::string>> batches = Batches();
        ASSERT_EQ(batches.size(), i + 1);
        EXPECT_EQ(batches[i], c.ids);
        ASSERT_EQ(service.RequestCount(), i + 1);
        const auto upload = service.Requests()[i];
        EXPECT_EQ(Part(upload, "crpt_file"), answerHead + c.answer);
        std::vector<std::pair<std::string, std::string>> echo = Parts(upload);
        ASSERT_GE(echo.size(), 2u + 3u);
        // The addresses first, the signature, version and file last.
        echo = std::vector<std::pair<std::string, std::string>>(echo.begin() + 2, echo.end() - 3);
        EXPECT_EQ(echo, c.echo);
        EXPECT_EQ(Part(upload, "crpt_signature"), "json");
    }
}

// A batch that holds an empty document, signed by the store engine: every signature in the
// answer file verifies with the openssl command, the empty one over zero bytes.
TEST_F(EndpointUploadTest, BatchWithAnEmptyDocumentIsSignedByTheStoreEngine) {
    const testing::CaAndCert pair = testing::MakeCaAndCert(
        {.cn = "Batch CA"}, {.subject = {.cn = "Holder"}, .serialHex = "0102"});
    const std::filesystem::path store = dir_ / "MY";
    std::filesystem::create_directory(store);
    testing::WritePem(store / "holder.pem", pair.cert);
    testing::WriteBytes(dir_ / "ca.pem", pair.ca.CertPem());
    signBatch_ = [&](TJobList& jobs) {
        SigningOptions options;
        options.hashAlgOID = "2.16.840.1.101.3.4.2.1";  // SHA-256
        TSign sign(TSignContext{log_, options, store}, jobs, pair.cert.SerialText(), "");
        return sign.Sign() ? kResultSigned : kResultClosed;
    };
    CaptureServer service;
    Start();
    const std::string answer =
        Send(Post("{\"urlToAnswer\":\"" + service.Url("/answer") +
                      "\",\"urlToRedirect\":\"http://portal.test/done\",\"files\":["
                      "{\"id\":\"empty\",\"data64\":\"\"},{\"id\":\"abc\",\"data64\":\"YWJj\"}]}",
                  "application/json"));
    EXPECT_EQ(answer.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << answer;
    ASSERT_EQ(service.RequestCount(), 1u);
    const std::string file = Part(service.Requests()[0], "crpt_file");
    // The signatures stand in the answer as Base64 lines ended by CR LF.
    const std::regex signature(
        "\"id\":\"([a-z]+)\",\"signature\":\"([A-Za-z0-9+/=\r\n]+)\","
        "\"error\":\"\"");
    std::map<std::string, std::string> signatures;
    for (auto it = std::sregex_iterator(file.begin(), file.end(), signature);
         it != std::sregex_iterator(); ++it)
        signatures[(*it)[1]] = (*it)[2];
    ASSERT_EQ(signatures.size(), 2u) << file;
    const std::map<std::string, std::string> contents = {{"empty", ""}, {"abc", "abc"}};
    for (const auto& [id, content] : contents) {
        SCOPED_TRACE(id);
        const testing::CommandResult verified =
            testing::VerifyDetachedCms(Base64Decode(signatures[id]), content, dir_ / "ca.pem");
        EXPECT_EQ(verified.exitCode, 0) << verified.output;
        // The signature does not verify for other content.
        EXPECT_NE(
            testing::VerifyDetachedCms(Base64Decode(signatures[id]), content + "x", dir_ / "ca.pem")
                .exitCode,
            0);
    }
}

}  // namespace
}  // namespace korvalo
