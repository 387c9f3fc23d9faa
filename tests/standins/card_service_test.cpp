// The card-service stand-in as a process: what it signs, how it answers bad requests and its
// failure modes.

#include <gtest/gtest.h>
#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/x509.h>

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>

#include <fstream>
#include <memory>

#include "core/base64.h"
#include "platform/crypto/openssl_handles.h"
#include "support/card_service_process.h"
#include "support/card_suite.h"

namespace korvalo::cardtest {
namespace {

namespace asio = boost::asio;
namespace http = boost::beast::http;
using tcp = asio::ip::tcp;
using testing::CommandResult;
using testing::RunCommand;

struct HttpAnswer {
    unsigned status = 0;
    std::string body;
};

HttpAnswer Send(unsigned short port, http::verb verb, const std::string& target,
                const std::string& body) {
    asio::io_context io;
    tcp::socket socket(io);
    socket.connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), port));
    http::request<http::string_body> request{verb, target, 11};
    request.set(http::field::host, "127.0.0.1");
    request.set(http::field::content_type, "application/json; charset=utf-8");
    request.body() = body;
    request.prepare_payload();
    http::write(socket, request);
    boost::beast::flat_buffer buffer;
    http::response<http::string_body> response;
    http::read(socket, buffer, response);
    return {response.result_int(), response.body()};
}

HttpAnswer SignRequest(unsigned short port, const std::string& data,
                       const std::string& detached = "true") {
    const nlohmann::ordered_json body = {{"data", data}, {"isDetached", detached}};
    return Send(port, http::verb::post, "/sign_kta_cms", body.dump());
}

struct CertStackDeleter {
    void operator()(STACK_OF(X509) * certs) const { sk_X509_pop_free(certs, X509_free); }
};

CmsPtr ParseCms(const std::string& der) {
    const BioPtr bio(BIO_new_mem_buf(der.data(), static_cast<int>(der.size())));
    return CmsPtr(d2i_CMS_bio(bio.get(), nullptr));
}

class CardServiceTest : public CardSuite {
protected:
    static std::vector<std::string> CardArgs() {
        return {"--cert", card_->cert().string(), "--key", card_->key().string()};
    }
};

TEST_F(CardServiceTest, SignsDetachedWithItsCertificateSigningTimeAndSha256) {
    CardServiceProcess service(CardArgs());
    const std::string content("card data \0\xff\r\n end", 18);
    const HttpAnswer answer = SignRequest(service.port(), Base64Encode(content));
    ASSERT_EQ(answer.status, 200u) << answer.body;
    const auto json = nlohmann::json::parse(answer.body);
    ASSERT_EQ(json.at("error"), "36864");
    const std::string der = Base64Decode(json.at("sig").get<std::string>());

    std::string details;
    EXPECT_TRUE(VerifyDetachedCms(der, WriteFile("content.bin", content), &details)) << details;
    EXPECT_FALSE(VerifyDetachedCms(der, WriteFile("other.bin", content + "x")));

    const CmsPtr cms = ParseCms(der);
    ASSERT_TRUE(cms);
    EXPECT_EQ(CMS_is_detached(cms.get()), 1);
    std::unique_ptr<STACK_OF(X509), CertStackDeleter> certs(CMS_get1_certs(cms.get()));
    ASSERT_TRUE(certs);
    EXPECT_EQ(sk_X509_num(certs.get()), 1);
    STACK_OF(CMS_SignerInfo)* signers = CMS_get0_SignerInfos(cms.get());
    ASSERT_EQ(sk_CMS_SignerInfo_num(signers), 1);
    CMS_SignerInfo* signer = sk_CMS_SignerInfo_value(signers, 0);
    EXPECT_GE(CMS_signed_get_attr_by_NID(signer, NID_pkcs9_signingTime, -1), 0);
    X509_ALGOR* digest = nullptr;
    CMS_SignerInfo_get0_algs(signer, nullptr, nullptr, &digest, nullptr);
    ASSERT_NE(digest, nullptr);
    const ASN1_OBJECT* oid = nullptr;
    X509_ALGOR_get0(&oid, nullptr, nullptr, digest);
    EXPECT_EQ(OBJ_obj2nid(oid), NID_sha256);
}

TEST_F(CardServiceTest, DecodesDataWithLineBreaksAndSignsAttachedOnRequest) {
    CardServiceProcess service(CardArgs());
    std::string content;
    for (int i = 0; i < 300; ++i)
        content.push_back(static_cast<char>(i * 7));
    const auto file = WriteFile("content.bin", content);

    const HttpAnswer lined = SignRequest(service.port(), Base64EncodeLines76(content));
    ASSERT_EQ(lined.status, 200u) << lined.body;
    EXPECT_TRUE(VerifyDetachedCms(
        Base64Decode(nlohmann::json::parse(lined.body).at("sig").get<std::string>()), file));

    const HttpAnswer attached = SignRequest(service.port(), Base64Encode(content), "false");
    ASSERT_EQ(attached.status, 200u) << attached.body;
    const CmsPtr cms =
        ParseCms(Base64Decode(nlohmann::json::parse(attached.body).at("sig").get<std::string>()));
    ASSERT_TRUE(cms);
    EXPECT_EQ(CMS_is_detached(cms.get()), 0);
    ASN1_OCTET_STRING** embedded = CMS_get0_content(cms.get());
    ASSERT_TRUE(embedded != nullptr && *embedded != nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(*embedded)),
                          static_cast<std::size_t>(ASN1_STRING_length(*embedded))),
              content);
}

TEST_F(CardServiceTest, AGostCardSignsWithTheGostDigest) {
    const auto key = dir_.path() / "gost-key.pem";
    const auto cert = dir_.path() / "gost-cert.pem";
    const CommandResult gostKey =
        RunCommand({"openssl", "genpkey", "-engine", "gost", "-algorithm", "gost2012_256",
                    "-pkeyopt", "paramset:A", "-out", key.string()});
    if (gostKey.exitCode != 0)
        GTEST_SKIP() << "no GOST engine for the openssl command: " << gostKey.output;
    const CommandResult gostCert = RunCommand(
        {"openssl", "req", "-engine", "gost", "-x509", "-key", key.string(), "-md_gost12_256",
         "-subj", "/CN=GOST Card", "-days", "2", "-out", cert.string()});
    ASSERT_EQ(gostCert.exitCode, 0) << gostCert.output;
    CardServiceProcess service(
        {"--engine", "gost", "--cert", cert.string(), "--key", key.string()});
    const std::string content = "подпись по ГОСТ";
    const HttpAnswer answer = SignRequest(service.port(), Base64Encode(content));
    ASSERT_EQ(answer.status, 200u) << answer.body;
    const auto sigFile = WriteFile(
        "gost.der", Base64Decode(nlohmann::json::parse(answer.body).at("sig").get<std::string>()));
    const auto contentFile = WriteFile("content.txt", content);
    const CommandResult verified =
        RunCommand({"openssl", "cms", "-verify", "-engine", "gost", "-binary", "-inform", "DER",
                    "-in", sigFile.string(), "-noverify", "-content", contentFile.string(), "-out",
                    (dir_.path() / "out").string()});
    EXPECT_EQ(verified.exitCode, 0) << verified.output;
    const CommandResult printed = RunCommand({"openssl", "cms", "-engine", "gost", "-cmsout",
                                              "-print", "-inform", "DER", "-in", sigFile.string()});
    ASSERT_EQ(printed.exitCode, 0) << printed.output;
    const std::string& output = printed.output;
    const auto digest = output.find("digestAlgorithm:");
    ASSERT_NE(digest, std::string::npos) << output;
    EXPECT_NE(output.find("1.2.643.7.1.1.2.2", digest), std::string::npos) << output;
}

TEST_F(CardServiceTest, AnswersBadRequestsWithoutSigning) {
    struct Case {
        http::verb verb;
        std::string target, body;
        unsigned status;
        std::string answer;
    };
    const Case cases[] = {
        {http::verb::post, "/sign_kta_cms", "{\"data\":", 400, R"({"error":"930"})"},
        {http::verb::post, "/sign_kta_cms", "[\"AAAA\"]", 400, R"({"error":"930"})"},
        {http::verb::post, "/sign_kta_cms", R"({"isDetached":"true"})", 400, R"({"error":"930"})"},
        {http::verb::post, "/sign_kta_cms", R"({"data":12})", 400, R"({"error":"930"})"},
        {http::verb::get, "/sign_kta_cms", "", 405, R"({"error":"930"})"},
        {http::verb::post, "/sign", R"({"data":"AAAA"})", 404, "Not Found"},
    };
    CardServiceProcess service(CardArgs());
    for (const Case& c : cases) {
        const HttpAnswer answer = Send(service.port(), c.verb, c.target, c.body);
        EXPECT_EQ(answer.status, c.status) << c.target << " " << c.body;
        EXPECT_EQ(answer.body, c.answer) << c.target << " " << c.body;
    }
}

TEST_F(CardServiceTest, WithoutAKeyReportsNoCard) {
    CardServiceProcess service({});
    const HttpAnswer answer = SignRequest(service.port(), "AAAA");
    EXPECT_EQ(answer.status, 500u);
    EXPECT_EQ(answer.body, R"({"error":"1"})");
}

TEST_F(CardServiceTest, FailureModesShapeTheAnswer) {
    struct Case {
        std::vector<std::string> args;
        unsigned status;
        std::string answer;
    };
    const Case cases[] = {
        {{"--error", "805"}, 500, R"({"error":"805"})"},
        {{"--error", "805", "--status", "200"}, 200, R"({"error":"805"})"},
        {{"--garbage"}, 200, "card reader says hello"},
        {{"--array"}, 200, R"(["36864","MAA="])"},
        {{"--empty", "--status", "503"}, 503, ""},
        {{"--body", R"({"sig":"x"})"}, 200, R"({"sig":"x"})"},
    };
    for (const Case& c : cases) {
        CardServiceProcess service(c.args);
        const HttpAnswer answer = SignRequest(service.port(), "AAAA");
        EXPECT_EQ(answer.status, c.status) << c.args[0];
        EXPECT_EQ(answer.body, c.answer) << c.args[0];
    }
}

TEST_F(CardServiceTest, FailOnCallFailsOnlyThatCallAndTheLogRecordsEveryExchange) {
    const auto log = dir_.path() / "requests.log";
    std::vector<std::string> args = CardArgs();
    args.insert(args.end(), {"--fail-on-call", "2", "--error", "804", "--log", log.string()});
    CardServiceProcess service(args);
    std::vector<HttpAnswer> answers;
    for (const char* data : {"AAEC", "AwQF", "BgcI"})
        answers.push_back(SignRequest(service.port(), data));
    EXPECT_EQ(answers[0].status, 200u);
    EXPECT_EQ(nlohmann::json::parse(answers[0].body).at("error"), "36864");
    EXPECT_EQ(answers[1].status, 500u);
    EXPECT_EQ(answers[1].body, R"({"error":"804"})");
    EXPECT_EQ(answers[2].status, 200u);
    EXPECT_EQ(nlohmann::json::parse(answers[2].body).at("error"), "36864");

    const auto lines = testing::ReadJsonLines(log);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[1].at("method"), "POST");
    EXPECT_EQ(lines[1].at("target"), "/sign_kta_cms");
    EXPECT_EQ(lines[1].at("contentType"), "application/json; charset=utf-8");
    EXPECT_EQ(lines[1].at("body"), R"({"data":"AwQF","isDetached":"true"})");
    EXPECT_EQ(lines[1].at("status"), 500);
    EXPECT_EQ(lines[1].at("answer"), answers[1].body);
    EXPECT_EQ(lines[2].at("answer"), answers[2].body);
}

TEST_F(CardServiceTest, RefusesABadCommandLine) {
    CardCredentials other;
    const std::string exe = CardServiceExecutable();
    struct Case {
        std::vector<std::string> args;
        int status;
    };
    const Case cases[] = {
        {{"--colour", "red"}, 2},
        {{"--port", "70000"}, 2},
        {{"--cert", card_->cert().string()}, 2},
        {{"--garbage", "--array"}, 2},
        {{"--engine", "no-such-engine", "--port", "0"}, 1},
        {{"--cert", card_->cert().string(), "--key", other.key().string(), "--port", "0"}, 1},
        {{"--cert", (dir_.path() / "missing.pem").string(), "--key", card_->key().string()}, 1},
    };
    for (const Case& c : cases) {
        std::vector<std::string> argv{exe};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        const CommandResult run = RunCommand(argv);
        EXPECT_EQ(run.exitCode, c.status) << c.args[0] << ": " << run.output;
        EXPECT_NE(run.output.find("korvalo-card-service: "), std::string::npos) << run.output;
    }
}

}  // namespace
}  // namespace korvalo::cardtest
