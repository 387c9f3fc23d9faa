// The demo service as a real process: its page, the requests it issues, and the uploads it
// receives and verifies, posted exactly as Korvalo posts them.

#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <fstream>
#include <functional>
#include <memory>
#include <regex>

#include "demo/demo_fixture.h"

namespace korvalo::demotest {
namespace {

const char* const kKorvalo = "http://127.0.0.1:48051/";

std::string Base64Decode(const std::string& text) {
    std::string out(text.size(), '\0');
    const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                  reinterpret_cast<const unsigned char*>(text.data()),
                                  static_cast<int>(text.size()));
    out.resize(static_cast<std::size_t>(n));
    std::size_t pad = 0;
    for (std::size_t i = text.size(); i > 0 && text[i - 1] == '='; --i)
        ++pad;
    out.resize(out.size() - pad);
    return out;
}

std::time_t ParseIso(const std::string& text) {
    std::tm tm{};
    strptime(text.c_str(), "%Y-%m-%dT%H:%M:%SZ", &tm);
    return timegm(&tm);
}

// A batch request issued by the service: its document and the bytes of its documents.
struct IssuedBatch {
    std::string req;
    std::string uploadTarget;
    nlohmann::ordered_json document;
    std::vector<std::string> bytes;
};

IssuedBatch NewBatch(unsigned short port, const std::string& query) {
    const nlohmann::json issued = NewRequest(port, query);
    IssuedBatch batch;
    batch.req = issued["req"];
    batch.document = nlohmann::ordered_json::parse(issued["document"].get<std::string>());
    const std::string url = batch.document["urlToAnswer"];
    batch.uploadTarget = url.substr(url.find("/upload"));
    for (const auto& f : batch.document["files"])
        batch.bytes.push_back(Base64Decode(f["data64"]));
    return batch;
}

// The upload Korvalo makes for a signed batch: the document's members but "files" echoed,
// "json" as the signature, the batch answer as the file.
KorvaloUpload BatchUpload(const IssuedBatch& batch, const std::vector<BatchEntry>& files) {
    KorvaloUpload upload;
    for (const auto& [name, value] : batch.document.items()) {
        if (name == "files")
            continue;
        upload.paramList.push_back(name + "=" +
                                   (value.is_string() ? value.get<std::string>() : value.dump()));
    }
    std::vector<std::pair<std::string, std::string>> members;
    for (const char* name :
         {"urlToAnswer", "urlToRedirect", "crpt_cookie", "beanName", "beanMethod", "idUser"})
        members.emplace_back(name, batch.document[name].get<std::string>());
    upload.signature = "json";
    upload.fileName = "2024312_101010.txt";
    upload.fileBytes = KorvaloBatchAnswer(members, files);
    upload.cookie = batch.document["crpt_cookie"];
    return upload;
}

class DemoServiceTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { FPki = std::make_unique<Pki>(); }
    static void TearDownTestSuite() { FPki.reset(); }

    void SetUp() override {
        FService = std::make_unique<DemoServiceProcess>(
            std::vector<std::string>{"--ca", FPki->caCert().string(), "--data",
                                     (FData.path() / "uploads").string(), "--max-body", "2000000"});
    }

    unsigned short port() const { return FService->port(); }
    IssuedBatch NewBatch(const std::string& query) const {
        return demotest::NewBatch(port(), query);
    }
    const Pki& pki() const { return *FPki; }

    // The echoed parameters of a form request, in the order the page's form sends them.
    static std::vector<std::string> FormParams(const nlohmann::json& form) {
        std::vector<std::string> lines;
        for (const char* name :
             {"urlToAnswer", "urlToRedirect", "crpt_message", "crpt_cookie", "useIdCard", "req"}) {
            if (form.contains(name))
                lines.push_back(std::string(name) + "=" + form[name].get<std::string>());
        }
        return lines;
    }

    static std::string UploadTarget(const nlohmann::json& issued) {
        const std::string url =
            issued["form"].is_object()
                ? issued["form"]["urlToAnswer"].get<std::string>()
                : nlohmann::json::parse(issued["document"].get<std::string>())["urlToAnswer"]
                      .get<std::string>();
        return url.substr(url.find("/upload"));
    }

    // Posts a message upload signed with the given key over the given bytes.
    nlohmann::json UploadMessage(const nlohmann::json& issued, const std::string& signedBytes,
                                 const std::string& fileBytes) {
        KorvaloUpload upload;
        upload.paramList = FormParams(issued["form"]);
        upload.signature =
            WrappedBase64(SignDetached(signedBytes, pki().userCert(), pki().userKey()));
        upload.fileBytes = fileBytes;
        upload.cookie = issued["form"]["crpt_cookie"];
        const HttpReply reply = upload.PostTo(port(), UploadTarget(issued));
        EXPECT_EQ(reply.status, 200) << reply.body;
        return Results(port(), issued["req"]);
    }

    static std::unique_ptr<Pki> FPki;
    TempDir FData;
    std::unique_ptr<DemoServiceProcess> FService;
};

std::unique_ptr<Pki> DemoServiceTest::FPki;

TEST_F(DemoServiceTest, PageOffersTheFourActionsWithFormsPointingAtKorvalo) {
    DemoServiceProcess other({"--korvalo", "http://127.0.0.1:1234/"});
    HttpReply reply = HttpCall(other.port(), "GET", "/");
    ASSERT_EQ(reply.status, 200);
    EXPECT_EQ(reply.headers["content-type"], "text/html; charset=utf-8");
    const std::string& html = reply.body;
    for (const char* id : {"action-message", "action-file", "action-batch", "action-batch-idcard",
                           "sign-batch", "sign-batch-idcard", "form-message", "form-file"})
        EXPECT_NE(html.find(std::string("id=\"") + id + "\""), std::string::npos) << id;

    // Two forms, each closed, each posting to Korvalo in UTF-8, with the fields Korvalo reads.
    const std::regex formRe(
        "<form id=\"(form-[a-z]+)\" method=\"post\" action=\"([^\"]*)\" "
        "accept-charset=\"UTF-8\">([^]*?)</form>");
    int forms = 0;
    for (std::sregex_iterator it(html.begin(), html.end(), formRe), end; it != end; ++it) {
        ++forms;
        const std::string id = (*it)[1];
        EXPECT_EQ((*it)[2], "http://127.0.0.1:1234/") << id;
        const std::string inner = (*it)[3];
        std::vector<std::string> names;
        const std::regex inputRe("<input type=\"(hidden|text)\" name=\"([A-Za-z_]+)\"");
        for (std::sregex_iterator in(inner.begin(), inner.end(), inputRe), e; in != e; ++in)
            names.push_back((*in)[2]);
        std::vector<std::string> expected{"urlToAnswer", "urlToRedirect", "crpt_cookie",
                                          "useIdCard", "req"};
        if (id == "form-message")
            expected.insert(expected.begin() + 2, "crpt_message");
        EXPECT_EQ(names, expected) << id;
        EXPECT_EQ(inner.find("<form"), std::string::npos) << "nested form in " << id;
    }
    EXPECT_EQ(forms, 2);
    // Every element the page opens it closes.
    const auto count = [&](const std::string& pattern) {
        const std::regex re(pattern);
        return std::distance(std::sregex_iterator(html.begin(), html.end(), re),
                             std::sregex_iterator());
    };
    for (const std::string tag : {"section", "form", "label", "script", "p", "h2", "table"})
        EXPECT_EQ(count("<" + tag + "[ >]"), count("</" + tag + ">")) << tag;
    EXPECT_EQ(html.find("http://", html.find("<script>")), std::string::npos)
        << "the script loads nothing from elsewhere";
}

// When a batch request does not reach Korvalo the page explains why: a box hidden at first,
// a part for each reason and a retry. Its script carries the integration guide's snippet word
// for word (the end-to-end test runs it in the browsers).
TEST_F(DemoServiceTest, PageExplainsUnreachedKorvaloWithTheGuidesSnippet) {
    const HttpReply reply = HttpCall(port(), "GET", "/");
    ASSERT_EQ(reply.status, 200);
    const std::string& html = reply.body;
    EXPECT_NE(html.find("<div id=\"korvalo-help\" hidden>"), std::string::npos);
    for (const std::string part : {"unclear", "refused", "notRunning", "noAnswer"})
        EXPECT_NE(html.find("<div data-part=\"" + part + "\">"), std::string::npos) << part;
    EXPECT_NE(html.find("<button type=\"button\" id=\"korvalo-retry\">"), std::string::npos);
    EXPECT_NE(html.find(std::string("<code>") + kKorvalo + "</code>"), std::string::npos)
        << "the explanation names Korvalo's address";

    const std::string guide = testing::ReadBytes(KORVALO_INTEGRATION_GUIDE);
    std::string snippet;
    const std::regex blockRe("```js\n([^]*?)```");
    for (std::sregex_iterator it(guide.begin(), guide.end(), blockRe), end; it != end; ++it)
        if ((*it)[1].str().find("async function whyKorvaloFailed(") != std::string::npos)
            snippet = (*it)[1];
    ASSERT_FALSE(snippet.empty()) << "the guide shows no whyKorvaloFailed";
    const std::size_t script = html.find("<script>");
    ASSERT_NE(script, std::string::npos);
    EXPECT_NE(html.find(snippet, script), std::string::npos)
        << "the page's script differs from the guide's snippet:\n"
        << snippet;
}

TEST_F(DemoServiceTest, IssuesFormParametersAndBatchDocumentsForKorvalo) {
    const nlohmann::json message = NewRequest(port(), "kind=message", "Привет, <b>мир</b> №1");
    const std::string req = message["req"];
    const std::string base = FService->base();
    EXPECT_EQ(message["korvalo"], kKorvalo);
    EXPECT_EQ(message["form"]["urlToAnswer"], base + "/upload?req=" + req);
    EXPECT_EQ(message["form"]["urlToRedirect"], base + "/result?req=" + req);
    EXPECT_EQ(message["form"]["crpt_message"], "Привет, <b>мир</b> №1");
    EXPECT_EQ(message["form"]["req"], req);
    EXPECT_EQ(message["form"]["useIdCard"], "0");
    EXPECT_EQ(message["resultUrl"], base + "/result?req=" + req);
    const nlohmann::json sent = Results(port(), req)["sent"];
    EXPECT_EQ(sent["messageBytes"], 21);  // one byte per character in code page 1251

    const nlohmann::json batch = NewRequest(port(), "kind=batch&idcard=1");
    const std::string text = batch["document"];
    for (char c : text)
        ASSERT_LT(static_cast<unsigned char>(c), 0x80) << "Korvalo reads the body as ASCII";
    const nlohmann::json document = nlohmann::json::parse(text);
    std::vector<std::string> members;
    const nlohmann::ordered_json ordered = nlohmann::ordered_json::parse(text);
    for (const auto& [name, value] : ordered.items())
        members.push_back(name);
    EXPECT_EQ(members,
              (std::vector<std::string>{"urlToAnswer", "urlToRedirect", "crpt_cookie", "beanName",
                                        "beanMethod", "idUser", "req", "useIdCard", "files"}));
    EXPECT_EQ(document["useIdCard"], 1);
    ASSERT_EQ(document["files"].size(), 3u);
    const nlohmann::json documents = Results(port(), batch["req"])["sent"]["documents"];
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(document["files"][i]["id"], documents[i]["id"]);
        EXPECT_EQ(Base64Decode(document["files"][i]["data64"]).size(), documents[i]["size"]);
    }
    EXPECT_FALSE(
        nlohmann::json::parse(NewRequest(port(), "kind=batch")["document"].get<std::string>())
            .contains("useIdCard"));

    // Bad requests for requests.
    EXPECT_EQ(HttpCall(port(), "POST", "/new?kind=poem").status, 400);
    EXPECT_EQ(HttpCall(port(), "POST", "/new?kind=message", {}, "two\r\nlines").status, 400);
    EXPECT_EQ(HttpCall(port(), "POST", "/new?kind=message", {}, "bad \xC3 utf-8").status, 400);
    EXPECT_EQ(HttpCall(port(), "POST", "/new?kind=message", {}, std::string(70000, 'x')).status,
              413);
}

TEST_F(DemoServiceTest, VerifiesAMessageSignedOverItsCodePage1251Bytes) {
    const std::string text = "<p>Платёжное поручение № 42 — «ООО Ромашка»</p>";
    const nlohmann::json issued = NewRequest(port(), "kind=message", text);
    // What Korvalo writes into the message file: the text in code page 1251.
    const std::string cp1251 =
        "<p>\xCF\xEB\xE0\xF2\xB8\xE6\xED\xEE\xE5 \xEF\xEE\xF0\xF3\xF7\xE5\xED\xE8\xE5 \xB9 42 "
        "\x97 \xAB\xCE\xCE\xCE \xD0\xEE\xEC\xE0\xF8\xEA\xE0\xBB</p>";
    const auto before = std::time(nullptr);
    const nlohmann::json result = UploadMessage(issued, cp1251, cp1251);

    EXPECT_EQ(result["state"], "verified");
    ASSERT_EQ(result["uploads"].size(), 1u);
    const nlohmann::json upload = result["uploads"][0];
    EXPECT_TRUE(upload["ok"]) << upload.dump(2);
    EXPECT_TRUE(upload["file"]["matchesSent"]);
    EXPECT_EQ(upload["file"]["text"], text);
    EXPECT_EQ(upload["korvaloVersion"], "1.0.0.0");
    EXPECT_TRUE(upload["cookieMatches"]);
    EXPECT_EQ(upload["problems"], nlohmann::json::array());
    // The echoed fields come back decoded, in order, without the message.
    std::vector<std::string> names;
    for (const auto& f : upload["fields"])
        names.push_back(f["name"]);
    EXPECT_EQ(names, (std::vector<std::string>{"urlToAnswer", "urlToRedirect", "crpt_cookie",
                                               "useIdCard", "req"}));
    EXPECT_EQ(upload["fields"][0]["value"], issued["form"]["urlToAnswer"]);

    ASSERT_EQ(upload["signatures"].size(), 1u);
    const nlohmann::json s = upload["signatures"][0];
    EXPECT_TRUE(s["verified"]);
    EXPECT_EQ(s["error"], "");
    EXPECT_TRUE(s["chainsToCa"]) << s["chainError"];
    EXPECT_EQ(s["layout"], "lines64");
    EXPECT_EQ(s["signer"]["commonName"], "Иванов Иван Иванович");
    EXPECT_EQ(s["signer"]["surname"], "Иванов");
    EXPECT_EQ(s["signer"]["givenName"], "Иван");
    EXPECT_EQ(s["signer"]["name"], "Иван Иванович");
    EXPECT_EQ(s["signer"]["organization"], "ООО Демо");
    EXPECT_EQ(s["signer"]["unit"], "Отдел подписи");
    EXPECT_EQ(s["signer"]["serial"], "8A0B0C0D01");
    EXPECT_EQ(s["signer"]["serialText"], "008A 0B0C 0D01");
    EXPECT_NE(s["signer"]["issuer"].get<std::string>().find("CN=Korvalo Test CA"),
              std::string::npos);
    EXPECT_EQ(s["digest"]["name"], "SHA256");
    EXPECT_EQ(s["digest"]["oid"], "2.16.840.1.101.3.4.2.1");
    const std::time_t signedAt = ParseIso(s["signingTime"]);
    EXPECT_GE(signedAt, before - 1);
    EXPECT_LE(signedAt, std::time(nullptr) + 1);

    // The upload is kept with its report.
    const std::string req = issued["req"];
    EXPECT_TRUE(std::filesystem::exists(FData.path() / "uploads" / req / "upload-1.multipart"));
    EXPECT_TRUE(std::filesystem::exists(FData.path() / "uploads" / req / "upload-1.json"));

    // The result page says so.
    const HttpReply page = HttpCall(port(), "GET", "/result?req=" + req);
    EXPECT_EQ(page.status, 200);
    EXPECT_NE(page.body.find("подпись проверена"), std::string::npos);
    EXPECT_NE(page.body.find("Иванов Иван Иванович"), std::string::npos);
    EXPECT_NE(page.body.find("SHA256 (2.16.840.1.101.3.4.2.1)"), std::string::npos);
}

TEST_F(DemoServiceTest, RefusesMessageSignaturesOverOtherBytes) {
    const std::string text = "Сумма: 100";
    const std::string cp1251 = "\xD1\xF3\xEC\xEC\xE0: 100";
    const struct {
        const char* what;
        std::string signedBytes, fileBytes;
        bool fileMatches, verified;
    } cases[] = {
        {"the message signed in UTF-8", text, text, false, false},
        {"a tampered message", "\xD1\xF3\xEC\xEC\xE0: 900", "\xD1\xF3\xEC\xEC\xE0: 900", false,
         false},
        {"the right signature beside another file", cp1251, "\xD1\xF3\xEC\xEC\xE0: 900", false,
         true},
    };
    for (const auto& c : cases) {
        const nlohmann::json issued = NewRequest(port(), "kind=message", text);
        const nlohmann::json result = UploadMessage(issued, c.signedBytes, c.fileBytes);
        const nlohmann::json upload = result["uploads"][0];
        EXPECT_EQ(result["state"], "failed") << c.what;
        EXPECT_FALSE(upload["ok"]) << c.what;
        EXPECT_EQ(upload["file"]["matchesSent"], c.fileMatches) << c.what;
        const nlohmann::json s = upload["signatures"][0];
        EXPECT_EQ(s["verified"], c.verified) << c.what;
        if (!c.verified) {
            EXPECT_NE(s["error"].get<std::string>().find("verif"), std::string::npos)
                << c.what << ": " << s["error"];
        }
        const HttpReply page =
            HttpCall(port(), "GET", "/result?req=" + issued["req"].get<std::string>());
        EXPECT_NE(page.body.find("проверка не пройдена"), std::string::npos) << c.what;
    }
}

TEST_F(DemoServiceTest, VerifiesAFileOverTheUploadedBytes) {
    std::string file;
    for (int i = 0; i < 5000; ++i)
        file += static_cast<char>((i * 7919) & 0xFF);
    for (bool tampered : {false, true}) {
        const nlohmann::json issued = NewRequest(port(), "kind=file");
        EXPECT_FALSE(issued["form"].contains("crpt_message"));
        KorvaloUpload upload;
        upload.paramList = FormParams(issued["form"]);
        upload.signature = WrappedBase64(SignDetached(file, pki().userCert(), pki().userKey()));
        upload.fileName = "договор.pdf";
        upload.fileBytes = file;
        if (tampered)
            upload.fileBytes[2500] ^= 1;
        upload.cookie = issued["form"]["crpt_cookie"];
        ASSERT_EQ(upload.PostTo(port(), UploadTarget(issued)).status, 200);
        const nlohmann::json u = Results(port(), issued["req"])["uploads"][0];
        EXPECT_EQ(u["ok"], !tampered) << u.dump(2);
        EXPECT_EQ(u["file"]["name"], "договор.pdf");
        EXPECT_EQ(u["file"]["size"], 5000);
        EXPECT_TRUE(u["file"]["matchesSent"].is_null());
        EXPECT_EQ(u["signatures"][0]["verified"], !tampered);
    }
}

TEST_F(DemoServiceTest, ChecksTheChainAndTheSessionCookieApart) {
    const nlohmann::json issued = NewRequest(port(), "kind=file");
    KorvaloUpload upload;
    upload.paramList = FormParams(issued["form"]);
    upload.signature =
        WrappedBase64(SignDetached("data", pki().strangerCert(), pki().strangerKey()));
    upload.fileBytes = "data";
    upload.cookie = "DEMOSESSION=somebody-else";
    ASSERT_EQ(upload.PostTo(port(), UploadTarget(issued)).status, 200);
    const nlohmann::json u = Results(port(), issued["req"])["uploads"][0];
    const nlohmann::json s = u["signatures"][0];
    EXPECT_TRUE(s["verified"]);
    EXPECT_FALSE(s["chainsToCa"]);
    EXPECT_NE(s["chainError"], "");
    EXPECT_EQ(s["signer"]["commonName"], "Stranger");
    EXPECT_FALSE(u["cookieMatches"]);
    EXPECT_EQ(u["cookie"], "DEMOSESSION=somebody-else");
    EXPECT_FALSE(u["ok"]);
}

TEST_F(DemoServiceTest, VerifiesEveryDocumentOfABatchAnswer) {
    const auto sign = [&](const std::string& bytes) {
        return WrappedBase64(SignDetached(bytes, pki().userCert(), pki().userKey()));
    };
    const std::string failure = "Ошибка \"ключа\" C:\\keys";
    const struct {
        const char* what;
        std::function<std::vector<BatchEntry>(const IssuedBatch&)> files;
        bool ok;
        std::vector<bool> verified;
        std::vector<std::string> korvaloErrors;
    } cases[] = {
        {"all signed",
         [&](const IssuedBatch& b) {
             return std::vector<BatchEntry>{{"doc1", sign(b.bytes[0]), ""},
                                            {"doc2", sign(b.bytes[1]), ""},
                                            {"doc3", sign(b.bytes[2]), ""}};
         },
         true,
         {true, true, true},
         {"", "", ""}},
        {"one failed with a text that has quotes and a backslash",
         [&](const IssuedBatch& b) {
             return std::vector<BatchEntry>{{"doc1", sign(b.bytes[0]), ""},
                                            {"doc2", "", failure},
                                            {"doc3", sign(b.bytes[2]), ""}};
         },
         false,
         {true, false, true},
         {"", failure, ""}},
        {"a signature of another document, one missing",
         [&](const IssuedBatch& b) {
             return std::vector<BatchEntry>{{"doc1", sign(b.bytes[0]), ""},
                                            {"doc2", sign(b.bytes[0]), ""}};
         },
         false,
         {true, false, false},
         {"", "", ""}},
    };
    for (const auto& c : cases) {
        const IssuedBatch batch = NewBatch("kind=batch");
        ASSERT_EQ(BatchUpload(batch, c.files(batch)).PostTo(port(), batch.uploadTarget).status,
                  200);
        const nlohmann::json u = Results(port(), batch.req)["uploads"][0];
        EXPECT_EQ(u["ok"], c.ok) << c.what << "\n" << u.dump(2);
        EXPECT_EQ(u["batchAnswer"]["beanName"], "demoService") << c.what;
        ASSERT_EQ(u["signatures"].size(), 3u) << c.what;
        for (std::size_t i = 0; i < 3; ++i) {
            const nlohmann::json& s = u["signatures"][i];
            EXPECT_EQ(s["document"], "doc" + std::to_string(i + 1)) << c.what;
            EXPECT_EQ(s["verified"], c.verified[i]) << c.what << " #" << i;
            EXPECT_EQ(s["korvaloError"], c.korvaloErrors[i]) << c.what << " #" << i;
            if (c.verified[i]) {
                EXPECT_EQ(s["layout"], "lines64") << c.what << " #" << i;
            }
        }
    }
}

TEST_F(DemoServiceTest, VerifiesIdCardSignaturesFromTheCardService) {
    cardtest::CardServiceProcess card(
        {"--cert", pki().cardCert().string(), "--key", pki().cardKey().string()});
    const auto cardSign = [&](const std::string& bytes) {
        const HttpReply reply =
            HttpCall(card.port(), "POST", "/sign_kta_cms",
                     {{"Content-Type", "application/json; charset=utf-8"}},
                     nlohmann::json{{"data", OneLineBase64(bytes)}, {"isDetached", "true"}}.dump());
        const nlohmann::json answer = nlohmann::json::parse(reply.body);
        EXPECT_EQ(answer["error"], "36864");
        return answer["sig"].get<std::string>();
    };

    // A message signed with the card: the signature goes up as the card service gave it.
    const nlohmann::json issued = NewRequest(port(), "kind=message&idcard=1", "Карта");
    EXPECT_EQ(issued["form"]["useIdCard"], "1");
    KorvaloUpload upload;
    upload.paramList = FormParams(issued["form"]);
    upload.signature = cardSign("\xCA\xE0\xF0\xF2\xE0");
    upload.fileBytes = "\xCA\xE0\xF0\xF2\xE0";
    upload.cookie = issued["form"]["crpt_cookie"];
    ASSERT_EQ(upload.PostTo(port(), UploadTarget(issued)).status, 200);
    nlohmann::json u = Results(port(), issued["req"])["uploads"][0];
    EXPECT_TRUE(u["ok"]) << u.dump(2);
    EXPECT_EQ(u["signatures"][0]["layout"], "oneLine");
    EXPECT_EQ(u["signatures"][0]["signer"]["commonName"], "Петрова Анна (ID-карта)");

    // A batch signed with the card.
    const IssuedBatch batch = NewBatch("kind=batch&idcard=1");
    std::vector<BatchEntry> files;
    for (std::size_t i = 0; i < batch.bytes.size(); ++i)
        files.push_back({"doc" + std::to_string(i + 1), cardSign(batch.bytes[i]), ""});
    ASSERT_EQ(BatchUpload(batch, files).PostTo(port(), batch.uploadTarget).status, 200);
    u = Results(port(), batch.req)["uploads"][0];
    EXPECT_TRUE(u["ok"]) << u.dump(2);
    for (const auto& s : u["signatures"]) {
        EXPECT_TRUE(s["verified"]);
        EXPECT_TRUE(s["chainsToCa"]);
        EXPECT_EQ(s["digest"]["name"], "SHA256");
        EXPECT_TRUE(s["signingTime"].is_string());
    }
}

TEST_F(DemoServiceTest, AnswersBadInputWithClearClientErrors) {
    const nlohmann::json issued = NewRequest(port(), "kind=file");
    const std::string target = UploadTarget(issued);
    const std::string mp = "multipart/form-data; boundary=0123456789abcdef0123456789abcdef";
    const struct {
        const char* what;
        std::string method, target, contentType, body;
        int status;
    } cases[] = {
        {"upload without req", "POST", "/upload", mp, "x", 400},
        {"upload for an unknown req", "POST", "/upload?req=nosuch", mp, "x", 404},
        {"not multipart", "POST", target, "text/plain", "x", 400},
        {"no boundary", "POST", target, "multipart/form-data", "x", 400},
        {"body without the boundary", "POST", target, mp, "garbage", 400},
        {"no closing boundary", "POST", target, mp,
         "--0123456789abcdef0123456789abcdef\r\nContent-Disposition: form-data; "
         "name=\"crpt_signature\"\r\n\r\nQUJD\r\n",
         400},
        {"no crpt_file part", "POST", target, mp,
         "--0123456789abcdef0123456789abcdef\r\nContent-Disposition: form-data; "
         "name=\"crpt_signature\"\r\n\r\nQUJD\r\n--0123456789abcdef0123456789abcdef--\r\n",
         400},
        {"body over the limit", "POST", target, mp, std::string(2100000, 'x'), 413},
        {"upload by GET", "GET", target, "", "", 405},
        {"unknown page", "GET", "/admin", "", "", 404},
        {"results of an unknown request", "GET", "/results.json?req=nosuch", "", "", 404},
        {"result page of an unknown request", "GET", "/result?req=nosuch", "", "", 404},
    };
    for (const auto& c : cases) {
        std::vector<std::pair<std::string, std::string>> headers;
        if (!c.contentType.empty())
            headers.emplace_back("Content-Type", c.contentType);
        const HttpReply reply = HttpCall(port(), c.method, c.target, headers, c.body);
        EXPECT_EQ(reply.status, c.status) << c.what << ": " << reply.body;
        EXPECT_FALSE(reply.body.empty()) << c.what;
    }
    EXPECT_NE(RawCall(port(), "THIS IS NOT HTTP\r\n\r\n").find("HTTP/1.1 400"), std::string::npos);
    EXPECT_NE(RawCall(port(),
                      "GET / HTTP/1.1\r\nHost: x\r\nX-Big: " + std::string(20000, 'a') + "\r\n\r\n")
                  .find("HTTP/1.1 431"),
              std::string::npos);
    // A signature that is no CMS goes into the report, not into an error answer.
    KorvaloUpload upload;
    upload.paramList = FormParams(issued["form"]);
    upload.signature = "bm90IGEgc2lnbmF0dXJl";
    upload.fileBytes = "x";
    ASSERT_EQ(upload.PostTo(port(), target).status, 200);
    const nlohmann::json u = Results(port(), issued["req"])["uploads"][0];
    EXPECT_FALSE(u["signatures"][0]["verified"]);
    EXPECT_NE(u["signatures"][0]["error"].get<std::string>().find("not a CMS message"),
              std::string::npos);

    EXPECT_TRUE(FService->Running());
    EXPECT_EQ(HttpCall(port(), "GET", "/").status, 200);
    const nlohmann::json all = nlohmann::json::parse(HttpCall(port(), "GET", "/results.json").body);
    EXPECT_EQ(all["requests"].size(), 1u);
    EXPECT_EQ(all["requests"][0]["state"], "failed");
}

TEST_F(DemoServiceTest, ResultPageWaitsForTheUpload) {
    const nlohmann::json issued = NewRequest(port(), "kind=batch");
    const HttpReply page =
        HttpCall(port(), "GET", "/result?req=" + issued["req"].get<std::string>());
    EXPECT_EQ(page.status, 200);
    EXPECT_NE(page.body.find("Выгрузка от Korvalo ещё не получена"), std::string::npos);
    EXPECT_NE(page.body.find("http-equiv=\"refresh\""), std::string::npos);
    EXPECT_EQ(Results(port(), issued["req"])["state"], "waiting");
}

}  // namespace
}  // namespace korvalo::demotest
