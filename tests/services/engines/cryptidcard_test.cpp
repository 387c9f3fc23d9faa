// TSignIdCard against a running card-service stand-in: the request it sends, each way the
// service can answer, batches and files.

#include "services/engines/cryptidcard.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <optional>
#include <ostream>
#include <stdexcept>

#include "core/base64.h"
#include "support/card_service_process.h"
#include "support/card_suite.h"

namespace korvalo {
namespace {

using cardtest::CardServiceProcess;
using cardtest::VerifyDetachedCms;
using testing::FreeLoopbackPort;
using testing::ReadJsonLines;

class IdCardTest : public cardtest::CardSuite {
protected:
    // Starts the service signing with the test card, logging to log(), with extra options.
    void StartService(const std::vector<std::string>& extra = {}) {
        std::vector<std::string> args{"--cert", card_->cert().string(),
                                      "--key",  card_->key().string(),
                                      "--log",  log().string()};
        args.insert(args.end(), extra.begin(), extra.end());
        service_.emplace(args);
    }
    CardServiceOptions options() const {
        CardServiceOptions o;
        o.port = service_->port();
        return o;
    }
    std::filesystem::path log() const { return dir_.path() / "requests.log"; }
    // The "data" member of every request the service received.
    std::vector<std::string> SentData() const {
        std::vector<std::string> data;
        for (const auto& line : ReadJsonLines(log()))
            data.push_back(nlohmann::json::parse(line.at("body").get<std::string>()).at("data"));
        return data;
    }
    std::string AnsweredSig(std::size_t request) const {
        const auto lines = ReadJsonLines(log());
        return nlohmann::json::parse(lines.at(request).at("answer").get<std::string>()).at("sig");
    }

    std::optional<CardServiceProcess> service_;
};

TEST(IdCardDefaults, TalkToTheCardMiddlewareOnItsFixedAddress) {
    const CardServiceOptions defaults;
    EXPECT_EQ(defaults.host, "127.0.0.1");
    EXPECT_EQ(defaults.port, 8084);
    TSignIdCard signer("file.txt");
    EXPECT_EQ(signer.FileName(), "file.txt");
    EXPECT_EQ(signer.Signature(), "");
    EXPECT_EQ(signer.message(), "");
}

TEST(IdCardDefaults, ThePortMayComeFromTheEnvironment) {
    const char* saved = std::getenv("KORVALO_CARD_SERVICE_PORT");
    const std::string previous = saved ? saved : "";
    const std::pair<const char*, unsigned short> cases[] = {
        {"41234", 41234}, {"", 8084}, {"0", 8084}, {"65536", 8084}, {"80x", 8084}};
    for (const auto& [text, port] : cases) {
        ::setenv("KORVALO_CARD_SERVICE_PORT", text, 1);
        EXPECT_EQ(CardServiceOptions::FromEnvironment().port, port) << text;
    }
    ::unsetenv("KORVALO_CARD_SERVICE_PORT");
    EXPECT_EQ(CardServiceOptions::FromEnvironment().port, 8084);
    EXPECT_EQ(CardServiceOptions::FromEnvironment().host, "127.0.0.1");
    if (saved)
        ::setenv("KORVALO_CARD_SERVICE_PORT", previous.c_str(), 1);
}

TEST_F(IdCardTest, SignFileSendsTheJsonRequestAndKeepsTheSignatureAsReceived) {
    StartService();
    const std::string content = "Договор №1\r\nподписать картой\n";
    const auto file = WriteFile("contract.txt", content);
    TSignIdCard signer(file.string(), options());
    ASSERT_TRUE(signer.SignFile()) << signer.message();
    EXPECT_EQ(signer.message(), "");

    const auto lines = ReadJsonLines(log());
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].at("method"), "POST");
    EXPECT_EQ(lines[0].at("target"), "/sign_kta_cms");
    EXPECT_EQ(lines[0].at("contentType"), "application/json; charset=utf-8");
    EXPECT_EQ(lines[0].at("body"),
              "{\"data\":\"" + Base64Encode(content) + "\",\"isDetached\":\"true\"}");
    EXPECT_EQ(signer.Signature(), AnsweredSig(0));

    std::string details;
    EXPECT_TRUE(VerifyDetachedCms(Base64Decode(signer.Signature()), file, &details)) << details;
}

TEST_F(IdCardTest, SignFileBreaksTheBase64IntoLinesOf76) {
    struct Case {
        std::size_t size;
        std::string expectedTail;  // what follows the first 76 characters
    };
    const Case cases[] = {{57, "\r\n"}, {58, "\r\n"}, {114, "\r\n"}};
    StartService();
    for (const Case& c : cases) {
        std::string content;
        for (std::size_t i = 0; i < c.size; ++i)
            content.push_back(static_cast<char>(0xA0 + i));
        const auto file = WriteFile("f" + std::to_string(c.size), content);
        TSignIdCard signer(file.string(), options());
        ASSERT_TRUE(signer.SignFile()) << signer.message();
        EXPECT_TRUE(VerifyDetachedCms(Base64Decode(signer.Signature()), file)) << c.size;
    }
    const auto data = SentData();
    ASSERT_EQ(data.size(), 3u);
    // 57 bytes: exactly one full line, its line break included.
    EXPECT_EQ(data[0].size(), 78u);
    EXPECT_EQ(data[0].substr(76), "\r\n");
    // 58 bytes: the full line, its break, then four characters ending in "==".
    EXPECT_EQ(data[1].size(), 82u);
    EXPECT_EQ(data[1].substr(76, 2), "\r\n");
    EXPECT_EQ(data[1].substr(80), "==");
    EXPECT_EQ(data[1].find('\n', 78), std::string::npos);
    // 114 bytes: two full lines, both ended.
    EXPECT_EQ(data[2].size(), 156u);
    EXPECT_EQ(data[2].substr(76, 2), "\r\n");
    EXPECT_EQ(data[2].substr(154), "\r\n");
}

struct AnswerCase {
    const char* name;
    std::vector<std::string> options;
    std::string message;   // the exact failure text, or
    std::string contains;  // a part of it
};

void PrintTo(const AnswerCase& c, std::ostream* os) {
    *os << c.name;
}

class IdCardAnswerTest : public IdCardTest, public ::testing::WithParamInterface<AnswerCase> {};

TEST_P(IdCardAnswerTest, FailureGivesItsText) {
    StartService(GetParam().options);
    TSignIdCard signer(WriteFile("doc.txt", "document").string(), options());
    EXPECT_FALSE(signer.SignFile());
    EXPECT_EQ(signer.Signature(), "");
    if (!GetParam().message.empty())
        EXPECT_EQ(signer.message(), GetParam().message);
    else
        EXPECT_NE(signer.message().find(GetParam().contains), std::string::npos)
            << signer.message();
}

INSTANTIATE_TEST_SUITE_P(
    Answers, IdCardAnswerTest,
    ::testing::Values(
        // Under 200 the code is shown as it came; the table applies to other statuses.
        AnswerCase{"Ok805", {"--status", "200", "--error", "805"}, "Ошибка 805", ""},
        AnswerCase{"Ok36864WithoutSig",
                   {"--status", "200", "--error", "36864"},
                   "",
                   "нет подписи (\"sig\")"},
        AnswerCase{"Failed805", {"--status", "500", "--error", "805"}, "Пароль заблокирован", ""},
        AnswerCase{
            "Failed1", {"--status", "400", "--error", "1"}, "Карта отсутствует в считывателе", ""},
        AnswerCase{"Failed77",
                   {"--status", "500", "--error", "77"},
                   "NTClientSoftware not available. Error 77",
                   ""},
        AnswerCase{"FailedWithTheSuccessCode",
                   {"--status", "500"},
                   "NTClientSoftware not available. Error 36864",
                   ""},
        AnswerCase{"FailedNotANumber",
                   {"--status", "500", "--error", "PIN?"},
                   "",
                   "не является целым числом: \"PIN?\""},
        AnswerCase{"NotJson", {"--garbage"}, "", "не является объектом JSON"},
        AnswerCase{"JsonArray", {"--array"}, "", "не является объектом JSON"},
        AnswerCase{"EmptyBody", {"--empty"}, "", "пустой ответ"},
        AnswerCase{"NoErrorMember", {"--body", R"({"sig":"MAA="})"}, "", "нет кода ошибки"},
        AnswerCase{"ErrorNotText", {"--body", R"({"error":null})"}, "", "не является строкой"},
        AnswerCase{"SigNotText",
                   {"--body", R"({"error":"36864","sig":["MAA="]})"},
                   "",
                   "Подпись в ответе службы ID-карты не является строкой"},
        AnswerCase{"EmptySig", {"--body", R"({"error":"36864","sig":""})"}, "", "пустую подпись"},
        AnswerCase{"NotHttp", {"--not-http"}, "NTClientSoftware not available", ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(IdCardTest, AnErrorCodeSentAsANumberCountsAsItsText) {
    StartService({"--body", R"({"error":36864,"sig":"MIIB"})"});
    TSignIdCard signer(WriteFile("doc.txt", "document").string(), options());
    ASSERT_TRUE(signer.SignFile()) << signer.message();
    EXPECT_EQ(signer.Signature(), "MIIB");
}

TEST(IdCardErrorText, MapsTheCardCodes) {
    const std::pair<const char*, const char*> table[] = {
        {"1", "Карта отсутствует в считывателе"},
        {"802", "Пароль заблокирован навсегда"},
        {"804", "Отменен ввод пароля"},
        {"805", "Пароль заблокирован"},
        {"806", "Отменен выбор сертификата"},
        {"904", "Нет подписанных данных"},
        {"917", "Не удалось прочитать данные с карты"},
        {"930", "Не удалось создать cms"},
        {"0805", "Пароль заблокирован"},
        {"-1", "NTClientSoftware not available. Error -1"},
        {"36864", "NTClientSoftware not available. Error 36864"},
    };
    for (const auto& [code, text] : table)
        EXPECT_EQ(TSignIdCard::CardErrorText(code), text) << code;
    for (const char* bad : {"", "8 05", "0x325", "805 ", "99999999999999999999"})
        EXPECT_THROW(TSignIdCard::CardErrorText(bad), std::invalid_argument) << bad;
}

TEST_F(IdCardTest, NothingListeningGivesTheConnectionError) {
    CardServiceOptions o;
    o.port = FreeLoopbackPort();
    TSignIdCard signer(WriteFile("doc.txt", "document").string(), o);
    EXPECT_FALSE(signer.SignFile());
    EXPECT_NE(signer.message().find("onnect"), std::string::npos) << signer.message();
    EXPECT_NE(signer.message().find(std::to_string(o.port)), std::string::npos) << signer.message();
}

TEST_F(IdCardTest, AConfiguredProxyIsNotUsedForTheLocalService) {
    StartService();
    const char* saved = std::getenv("http_proxy");
    const std::string previous = saved ? saved : "";
    ::setenv("http_proxy", ("http://127.0.0.1:" + std::to_string(FreeLoopbackPort())).c_str(), 1);
    TSignIdCard signer(WriteFile("doc.txt", "document").string(), options());
    const bool signedOk = signer.SignFile();
    if (saved)
        ::setenv("http_proxy", previous.c_str(), 1);
    else
        ::unsetenv("http_proxy");
    EXPECT_TRUE(signedOk) << signer.message();
}

TEST_F(IdCardTest, AFileThatCannotBeReadRaises) {
    StartService();
    for (const auto& path : {dir_.path() / "missing.txt", dir_.path()}) {
        TSignIdCard signer(path.string(), options());
        try {
            (void)signer.SignFile();  // throws
            ADD_FAILURE() << "no error for " << path;
        } catch (const std::runtime_error& e) {
            EXPECT_NE(std::string(e.what()).find(path.string()), std::string::npos) << e.what();
        }
    }
    EXPECT_TRUE(ReadJsonLines(log()).empty());
}

TEST_F(IdCardTest, EmptyAndLargeFilesAreSigned) {
    StartService();
    std::string large(3 << 20, '\0');
    for (std::size_t i = 0; i < large.size(); ++i)
        large[i] = static_cast<char>(i * 31 + i / 4099);
    for (const auto& [name, content] :
         {std::pair<std::string, std::string>{"empty", ""}, {"large", large}}) {
        const auto file = WriteFile(name, content);
        TSignIdCard signer(file.string(), options());
        ASSERT_TRUE(signer.SignFile()) << name << ": " << signer.message();
        EXPECT_TRUE(VerifyDetachedCms(Base64Decode(signer.Signature()), file)) << name;
    }
}

// A file the card service could not be sent whole is refused before anything is read or sent:
// a sparse 3 GiB file (whose 32-bit length would be 1 GiB short of the whole), one just over
// the limit, and a batch job over it.
TEST_F(IdCardTest, AFileTooLargeToSendWholeIsRefusedAndNothingIsSent) {
    StartService();
    const auto huge = dir_.path() / "huge.bin";
    std::filesystem::resize_file(WriteFile("huge.bin", "start"), std::uint64_t{3} << 30);
    const auto over = WriteFile("over.bin", "");
    std::filesystem::resize_file(over, TSignIdCard::kMaxFileSize + 1);
    for (const auto& [file, size] : {std::pair{huge, std::uint64_t{3} << 30},
                                     std::pair{over, TSignIdCard::kMaxFileSize + 1}}) {
        TSignIdCard signer(file.string(), options());
        EXPECT_FALSE(signer.SignFile());
        EXPECT_EQ(signer.message(),
                  "Размер файла (" + std::to_string(size) + ") превышает допустимый (134217728).");
        EXPECT_EQ(signer.Signature(), "");
    }
    TJobList jobs{{"big", std::string(TSignIdCard::kMaxFileSize + 1, 'x'), "", ""}};
    EXPECT_EQ(TSignIdCard(jobs, options()).SignMultipleFile(), 8);
    EXPECT_EQ(jobs[0].error, "Размер файла (134217729) превышает допустимый (134217728).");
    EXPECT_TRUE(ReadJsonLines(log()).empty());
}

TEST_F(IdCardTest, BatchSignsEveryJobInPlainBase64) {
    StartService();
    TJobList jobs{{"a", "first", "", ""},
                  {"b", std::string(100, '\x7f'), "", ""},
                  {"c", "third\r\n", "", ""}};
    TSignIdCard signer(jobs, options());
    EXPECT_EQ(signer.SignMultipleFile(), 1);
    const auto data = SentData();
    ASSERT_EQ(data.size(), 3u);
    for (std::size_t i = 0; i < jobs.size(); ++i) {
        EXPECT_EQ(data[i], Base64Encode(jobs[i].pData)) << i;  // one line however long
        EXPECT_EQ(jobs[i].sign, AnsweredSig(i)) << i;
        EXPECT_EQ(jobs[i].error, "") << i;
        EXPECT_TRUE(VerifyDetachedCms(Base64Decode(jobs[i].sign),
                                      WriteFile("job" + std::to_string(i), jobs[i].pData)))
            << i;
    }
}

TEST_F(IdCardTest, BatchResultIsThatOfTheLastJob) {
    struct Case {
        const char* failingCall;
        int result;
    };
    for (const Case& c : {Case{"1", 1}, Case{"2", 1}, Case{"3", 8}}) {
        SCOPED_TRACE(c.failingCall);
        std::filesystem::remove(log());
        StartService({"--fail-on-call", c.failingCall, "--error", "805"});
        TJobList jobs{{"a", "one", "", ""}, {"b", "two", "", ""}, {"c", "three", "", ""}};
        TIdCardBatchSigner batch(options());
        EXPECT_EQ(batch.SignMultipleFile(jobs), c.result);
        const std::size_t failed = std::stoul(c.failingCall) - 1;
        for (std::size_t i = 0; i < jobs.size(); ++i) {
            if (i == failed) {
                EXPECT_EQ(jobs[i].sign, "") << i;
                EXPECT_EQ(jobs[i].error, "Пароль заблокирован") << i;
            } else {
                EXPECT_EQ(jobs[i].sign, AnsweredSig(i)) << i;
                EXPECT_EQ(jobs[i].error, "") << i;
            }
        }
    }
}

TEST_F(IdCardTest, EmptyBatchSendsNothingAndGivesEight) {
    StartService();
    TJobList jobs;
    TSignIdCard signer(jobs, options());
    EXPECT_EQ(signer.SignMultipleFile(), 8);
    EXPECT_TRUE(ReadJsonLines(log()).empty());
    TSignIdCard single(WriteFile("doc.txt", "x").string(), options());
    EXPECT_EQ(single.SignMultipleFile(), 8);  // single mode has no job list
}

TEST_F(IdCardTest, BatchAgainstNoServiceMarksEveryJob) {
    CardServiceOptions o;
    o.port = FreeLoopbackPort();
    TJobList jobs{{"a", "one", "", ""}, {"b", "two", "", ""}};
    EXPECT_EQ(TIdCardBatchSigner(o).SignMultipleFile(jobs), 8);
    for (const auto& job : jobs) {
        EXPECT_EQ(job.sign, "");
        EXPECT_NE(job.error, "");
    }
}

}  // namespace
}  // namespace korvalo
