// Tests of TSign: lookup, the digest table, detached CMS checked by the openssl command, key
// passwords, batch mode, the Avest branch and bad input.

#include "services/engines/criptsign.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <fstream>
#include <functional>
#include <regex>

#include "core/base64.h"
#include "platform/crypto/crypt_message.h"
#include "services/engines/criptsign_test_support.h"

namespace korvalo {
namespace {

using namespace korvalo::testing;
using namespace korvalo::criptsign_test;

class TSignTest : public SigningWorldSuite</*WithGost=*/false> {
protected:
    TSignContext Context(SigningOptions options = {}) {
        return TSignContext{log_, options, world_->store.path(), &prompt_, nullptr};
    }
    ScriptedPasswordPrompt prompt_{{"right"}};
};

// The same store plus a GOST certificate made by the openssl command (slower to make).
class TSignGostTest : public TSignTest {
protected:
    static void SetUpTestSuite() { world_ = std::make_unique<SigningWorld>(/*withGost=*/true); }
};

SigningOptions WithHash(const std::string& oid, bool debug = false) {
    SigningOptions o;
    o.hashAlgOID = oid;
    o.debug = debug;
    return o;
}

// ---- serial texts and lookup ---------------------------------------------------------------

TEST(TSignSerialTest, SerialToHexExamples) {
    EXPECT_EQ(TSign::SerialToHex("\x01\x02\x03\x04\x05", true), "05 0403 0201");
    EXPECT_EQ(TSign::SerialToHex("\x01\x02\x03\x04\x05", false), "0504030201");
    EXPECT_EQ(TSign::SerialToHex("\x0A\x0B", true), "0B0A");
    EXPECT_EQ(TSign::SerialToHex("\x0A\x0B", false), "0B0A");
    EXPECT_EQ(TSign::SerialToHex("\x0D\x0C\x0B\x0A", true), "0A0B 0C0D");
    EXPECT_EQ(TSign::SerialToHex("\x01\x02\x03", true), "03 0201");
    EXPECT_EQ(TSign::SerialToHex("\x7F", true), "7F");
}

TEST(TSignHashTableTest, CountryAndSignatureAlgorithmChooseTheHash) {
    struct Case {
        const char *hashAlgOID, *country, *signatureOid, *expected;
    };
    const Case cases[] = {
        {"", "RU", "1.2.643.7.1.1.3.2", "1.2.643.7.1.1.2.2"},
        {"", "RU", "1.2.643.7.1.1.3.3", "1.2.643.7.1.1.2.3"},
        {"", "RU", "1.2.840.113549.1.1.11", "1.2.643.2.2.9"},
        {"", "ru", "1.2.643.7.1.1.3.2", "1.2.643.7.1.1.2.2"},
        {"", "RUS", "1.2.840.113549.1.1.11", "1.2.643.2.2.9"},
        {"", "Ru", "", "1.2.643.2.2.9"},
        {"", "BY", "1.2.643.7.1.1.3.2", "1.3.6.1.4.1.12656.1.42"},
        {"", "by", "1.2.840.113549.1.1.11", "1.3.6.1.4.1.12656.1.42"},
        {"", "DE", "1.2.840.113549.1.1.11", ""},
        {"", "R", "1.2.643.7.1.1.3.2", ""},
        {"", "", "1.2.643.7.1.1.3.2", ""},
        {"", " RU", "1.2.643.7.1.1.3.2", ""},
        {"1.2.3.4", "DE", "", "1.2.3.4"},
        {"1.2.3.4", "RU", "1.2.643.7.1.1.3.2", "1.2.3.4"},
        {"1.2.3.4", "", "", "1.2.3.4"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ChooseHashAlgorithm(c.hashAlgOID, c.country, c.signatureOid), c.expected)
            << c.hashAlgOID << " / " << c.country << " / " << c.signatureOid;
    }
}

TEST_F(TSignTest, AStoreThatCannotBeOpenedFailsQuietly) {
    WriteBytes(work_ / "doc.txt", "data");
    WriteBytes(work_ / "a-file", "x");
    TSignContext ctx = Context(WithHash(kSha256));
    ctx.storeLocation = work_ / "a-file" / "MY";
    TSign sign(ctx, (work_ / "doc.txt").string(), "0A0B 0C0D");
    EXPECT_FALSE(sign.Sign());
    EXPECT_EQ(sign.message(), "Не удалось подключиться к хранилищу сертификатов.");
    EXPECT_TRUE(sign.Signature().empty());
    EXPECT_TRUE(log_.Lines().empty());
}

// A store folder that does not exist yet is an empty store, made on the way.
TEST_F(TSignTest, AMissingStoreIsAnEmptyOne) {
    WriteBytes(work_ / "doc.txt", "data");
    TSignContext ctx = Context(WithHash(kSha256));
    ctx.storeLocation = work_ / "new" / "MY";
    TSign sign(ctx, (work_ / "doc.txt").string(), "0A0B 0C0D");
    EXPECT_FALSE(sign.Sign());
    EXPECT_EQ(sign.message(), "Cертификат не найден.");
    EXPECT_TRUE(std::filesystem::is_directory(ctx.storeLocation));
    EXPECT_TRUE(log_.Lines().empty());
}

TEST_F(TSignTest, SerialTextsThatDifferInCaseOrSpacingFindNothing) {
    WriteBytes(work_ / "doc.txt", "data");
    for (const char* serial :
         {"0a0b 0c0d", "0A0B0C0D", "0A0B  0C0D", " 0A0B 0C0D", "0A0B 0C0D ", "", "0E 0C"}) {
        TSign sign(Context(WithHash(kSha256)), (work_ / "doc.txt").string(), serial);
        EXPECT_FALSE(sign.Sign()) << serial;
        EXPECT_EQ(sign.message(), "Cертификат не найден.") << serial;
        EXPECT_EQ(sign.message()[0], 'C');  // Latin C, U+0043
    }
    EXPECT_TRUE(log_.Lines().empty());
}

TEST_F(TSignTest, TwoCertificatesWithOneSerialUseTheFirst) {
    const std::string content = "first in store order";
    WriteBytes(work_ / "doc.txt", content);
    TSign sign(Context(WithHash(kSha256)), (work_ / "doc.txt").string(), "0A0B 0C0D");
    ASSERT_TRUE(sign.Sign()) << sign.message();
    const std::string der = Base64Decode(sign.Signature());
    ExpectGoodSignature(der, content, world_->caDe, kSha256);
    const CmsDump dump = PrintCms(der);
    EXPECT_NE(dump.text.find("CN=First"), std::string::npos);
    EXPECT_EQ(dump.text.find("CN=Second"), std::string::npos);
}

// ---- single mode -----------------------------------------------------------------------------

TEST_F(TSignTest, SingleModeMakesADetachedSignatureThatVerifies) {
    struct Case {
        const char* serial;
        const char* hash;
    };
    const Case cases[] = {
        {"0A0B 0C0D", kSha256}, {"0E0C", kSha256}, {"0A0B 0C0D", kSha1}, {"0E0C", kSha512}};
    std::string content;
    for (int i = 0; i < 3000; ++i)
        content.push_back(static_cast<char>(i * 7 % 256));  // binary, with CR and LF bytes
    WriteBytes(work_ / "doc.bin", content);
    for (const Case& c : cases) {
        log_.ClearInfo();
        TSign sign(Context(WithHash(c.hash)), (work_ / "doc.bin").string(), c.serial);
        EXPECT_EQ(sign.FileName(), (work_ / "doc.bin").string());
        ASSERT_TRUE(sign.Sign()) << c.serial << " " << sign.message();
        EXPECT_TRUE(sign.message().empty());
        ExpectBase64Lines64(sign.Signature());
        ExpectGoodSignature(Base64Decode(sign.Signature()), content, world_->caDe, c.hash);
        ASSERT_EQ(log_.Lines().size(), 2u);
        EXPECT_TRUE(IsStamped(log_.Lines()[0], " ---> выработка подписи начата"))
            << log_.Lines()[0];
        EXPECT_TRUE(IsStamped(log_.Lines()[1], " подпись выработана")) << log_.Lines()[1];
    }
}

// A file is read in pieces into the digest; the signature is the one made over the whole
// content in memory, byte for byte, with the same key and signing time.
TEST_F(TSignTest, AStreamedFileSignatureIsTheWholeBufferOne) {
    const auto fixedTime = std::chrono::system_clock::from_time_t(1709629628);
    std::string content;
    for (std::size_t i = 0; i < 2 * TSign::kReadChunk + 4099; ++i)
        content.push_back(static_cast<char>((i * 2654435761u) >> 13));
    WriteBytes(work_ / "doc.bin", content);
    TSignContext ctx = Context(WithHash(kSha256));
    ctx.clock = [fixedTime] { return fixedTime; };
    TSign sign(ctx, (work_ / "doc.bin").string(), "0A0B 0C0D");
    ASSERT_TRUE(sign.Sign()) << sign.message();

    const auto store = CertStore::Open(world_->store.path());
    ASSERT_TRUE(store);
    const StoreCertificate* cert = store->FindFirstBySerialText("0A0B 0C0D", true);
    ASSERT_NE(cert, nullptr);
    const KeyResult key = cert->LoadPrivateKey(nullptr);
    ASSERT_EQ(key.error, 0u) << key.message;
    std::string whole;
    CmsSignStage stage = CmsSignStage::Signing;
    ASSERT_EQ(DetachedCmsSigner(cert->Handle(), key.key.get(), EVP_sha256())
                  .Sign(content, whole, stage, fixedTime),
              0u);
    EXPECT_EQ(Base64Decode(sign.Signature()), whole);
    ExpectGoodSignature(whole, content, world_->caDe, kSha256);

    EXPECT_EQ(sign.SignedContent(), FingerprintOf(content));
    const SigningProgress::Snapshot progress = sign.Progress().Read();
    EXPECT_EQ(progress.unit, SigningProgress::Unit::Bytes);
    EXPECT_EQ(progress.done, content.size());
    EXPECT_EQ(progress.total, content.size());
}

// A prompt that changes the file being signed when it is asked for the key's password: after
// the file was opened and before its content is read.
class ChangingPrompt : public ScriptedPasswordPrompt {
public:
    explicit ChangingPrompt(std::function<void()> change)
        : ScriptedPasswordPrompt({"right"}), change_(std::move(change)) {}
    std::optional<std::string> AskKeyPassword(const std::string& what, bool retry) override {
        change_();
        return ScriptedPasswordPrompt::AskKeyPassword(what, retry);
    }

private:
    std::function<void()> change_;
};

TEST_F(TSignTest, AFileThatChangesWhileItIsSignedFailsWithItsText) {
    const std::string file = (work_ / "doc.bin").string();
    const std::string content(TSign::kReadChunk + 100, 'a');
    struct Case {
        const char* name;
        std::function<void()> change;
    };
    const Case cases[] = {
        {"grows", [&] { std::ofstream(file, std::ios::app) << "more"; }},
        {"shrinks", [&] { ASSERT_EQ(::truncate(file.c_str(), 10), 0); }},
        {"is rewritten",
         [&] {
             std::fstream f(file, std::ios::in | std::ios::out | std::ios::binary);
             f.seekp(5);
             f << 'b';
         }},
    };
    const std::string text = "Файл \"" + file + "\" изменился во время чтения.";
    for (const Case& c : cases) {
        WriteBytes(file, content);
        // An old modification time, so that a change within the same clock tick shows.
        const timespec old[2] = {{1000000000, 0}, {1000000000, 0}};
        ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), old, 0), 0);
        log_.ClearInfo();
        ChangingPrompt prompt(c.change);
        TSignContext ctx = Context(WithHash(kSha256));
        ctx.passwordPrompt = &prompt;
        TSign sign(ctx, file, "0909");
        EXPECT_FALSE(sign.Sign()) << c.name;
        EXPECT_EQ(sign.message(), text) << c.name;
        EXPECT_TRUE(sign.Signature().empty());
        EXPECT_FALSE(sign.SignedContent());
        ASSERT_FALSE(log_.Lines().empty());
        EXPECT_TRUE(IsStamped(log_.Lines().back(), " " + text)) << log_.Lines().back();
    }
}

TEST_F(TSignTest, DebugLogsTheIssuerCountryFirst) {
    WriteBytes(work_ / "doc.txt", "data");
    TSign sign(Context(WithHash(kSha256, /*debug=*/true)), (work_ / "doc.txt").string(),
               "0A0B 0C0D");
    ASSERT_TRUE(sign.Sign());
    ASSERT_EQ(log_.Lines().size(), 3u);
    EXPECT_EQ(log_.Lines()[0], "issuerCountry: \"DE\"");
}

// ---- the digest table ------------------------------------------------------------------------

TEST_F(TSignTest, IssuerCountryChoosesTheDigest) {
    ASSERT_TRUE(EnsureGostEngine()) << "the gost engine is installed on this machine";
    ASSERT_NE(FindDigestByOid("1.2.643.2.2.9"), nullptr);
    struct Case {
        const char* serial;
        const char* hashAlgOID;
        bool ok;
        const char* message;  // on failure
        const char* digest;   // on success
        const char* logged;   // the failure's log line after the stamp
    };
    const Case cases[] = {
        // No country, or neither RU nor BY: the country error.
        {"4E", "", false, "Не определена страна издателя", nullptr,
         " Не определена страна издателя"},
        {"0A0B 0C0D", "", false, "Не определена страна издателя", nullptr,
         " Не определена страна издателя"},
        // hashAlgOID wins over any country.
        {"4E", kSha256, true, nullptr, kSha256, nullptr},
        {"0A0B 0C0D", kSha384, true, nullptr, kSha384, nullptr},
        {"5255", kSha256, true, nullptr, kSha256, nullptr},
        // RU, ru and RUS with an RSA certificate: GOST R 34.11-94, which an RSA key refuses.
        {"5255", "", false, "Указан неправильный алгоритм.", nullptr,
         " Указан неправильный алгоритм."},
        {"5256", "", false, "Указан неправильный алгоритм.", nullptr,
         " Указан неправильный алгоритм."},
        {"5257", "", false, "Указан неправильный алгоритм.", nullptr,
         " Указан неправильный алгоритм."},
        // BY: the belt hash, which this build does not have.
        {"4259", "", false, "Указан неправильный алгоритм.", nullptr,
         " Указан неправильный алгоритм."},
        // Texts that are no digest identifier.
        {"0A0B 0C0D", "sha256", false, "Указан неправильный алгоритм.", nullptr,
         " Указан неправильный алгоритм."},
        {"0A0B 0C0D", "1.2.840.113549.1.1.11", false, "Указан неправильный алгоритм.", nullptr,
         " Указан неправильный алгоритм."},
    };
    WriteBytes(work_ / "doc.txt", "payload");
    for (const Case& c : cases) {
        log_.ClearInfo();
        TSign sign(Context(WithHash(c.hashAlgOID)), (work_ / "doc.txt").string(), c.serial);
        const std::string label = std::string(c.serial) + " / " + c.hashAlgOID;
        ASSERT_EQ(sign.Sign(), c.ok) << label << " " << sign.message();
        if (c.ok) {
            ExpectGoodSignature(Base64Decode(sign.Signature()), "payload", std::nullopt, c.digest);
            continue;
        }
        EXPECT_EQ(sign.message(), c.message) << label;
        EXPECT_TRUE(sign.Signature().empty());
        ASSERT_EQ(log_.Lines().size(), 2u) << label;
        EXPECT_TRUE(IsStamped(log_.Lines()[0], " ---> выработка подписи начата"));
        EXPECT_TRUE(IsStamped(log_.Lines()[1], c.logged)) << label << ": " << log_.Lines()[1];
    }
}

TEST_F(TSignGostTest, GostCertificateSignsWithStreebog256) {
    ASSERT_TRUE(world_->gostReady) << world_->gostError;
    const std::string content = "Подписываемый документ";
    WriteBytes(work_ / "doc.txt", content);
    TSign sign(Context(), (work_ / "doc.txt").string(), "6057");
    ASSERT_TRUE(sign.Sign()) << sign.message();
    const std::string der = Base64Decode(sign.Signature());
    const CommandResult verified =
        VerifyDetachedCms(der, content, world_->gost.caCert, /*gost=*/true);
    EXPECT_EQ(verified.exitCode, 0) << verified.output;
    const CmsDump dump = PrintCms(der, /*gost=*/true);
    EXPECT_EQ(dump.signerDigests, std::vector<std::string>{"1.2.643.7.1.1.2.2"});
    std::vector<std::string> attributes = dump.signedAttributes;
    std::sort(attributes.begin(), attributes.end());
    EXPECT_EQ(attributes, kExpectedAttributes);
    // A GOST key refuses a foreign digest.
    TSign sha(Context(WithHash(kSha256)), (work_ / "doc.txt").string(), "6057");
    EXPECT_FALSE(sha.Sign());
    EXPECT_EQ(sha.message(), "Указан неправильный алгоритм.");
}

// ---- key passwords ---------------------------------------------------------------------------

TEST_F(TSignTest, ACancelledPasswordPromptFailsWithoutMessageOrErrorLine) {
    WriteBytes(work_ / "doc.txt", "data");
    ScriptedPasswordPrompt cancel({std::nullopt});
    TSignContext ctx = Context(WithHash(kSha256));
    ctx.passwordPrompt = &cancel;
    TSign sign(ctx, (work_ / "doc.txt").string(), "0909");
    EXPECT_FALSE(sign.Sign());
    EXPECT_EQ(sign.message(), "");
    EXPECT_EQ(cancel.asked.size(), 1u);
    ASSERT_EQ(log_.Lines().size(), 1u);  // only the start line, no error line
    EXPECT_TRUE(IsStamped(log_.Lines()[0], " ---> выработка подписи начата"));
}

TEST_F(TSignTest, AWrongPasswordAsksAgain) {
    const std::string content = "protected";
    WriteBytes(work_ / "doc.txt", content);
    ScriptedPasswordPrompt prompt({"wrong", "right"});
    TSignContext ctx = Context(WithHash(kSha256));
    ctx.passwordPrompt = &prompt;
    TSign sign(ctx, (work_ / "doc.txt").string(), "0909");
    ASSERT_TRUE(sign.Sign()) << sign.message();
    EXPECT_EQ(prompt.asked, (std::vector<std::pair<std::string, bool>>{
                                {"09-protected.p12", false}, {"09-protected.p12", true}}));
    ExpectGoodSignature(Base64Decode(sign.Signature()), content, world_->caDe, kSha256);
}

// ---- batch mode ------------------------------------------------------------------------------

TEST_F(TSignTest, BatchSignsEveryJobAndAsksForThePasswordOnce) {
    TJobList jobs = {{"1", "one", "", ""},
                     {"2", std::string(70000, 'x'), "", ""},
                     {"3", std::string("\0\r\n\xFF", 4), "", ""}};
    ScriptedPasswordPrompt prompt({"right"});
    TSignContext ctx = Context(WithHash(kSha256));
    ctx.passwordPrompt = &prompt;
    TSign sign(ctx, jobs, "0909", "");
    EXPECT_TRUE(sign.FileName().empty());
    ASSERT_TRUE(sign.Sign()) << sign.message();
    EXPECT_EQ(prompt.asked.size(), 1u);
    for (const TRecordSign& job : jobs) {
        EXPECT_TRUE(job.error.empty());
        ExpectBase64Lines64(job.sign);
        ExpectGoodSignature(Base64Decode(job.sign), job.pData, world_->caDe, kSha256);
    }
    EXPECT_EQ(log_.Lines().size(), 6u);
    const SigningProgress::Snapshot progress = sign.Progress().Read();
    EXPECT_EQ(progress.unit, SigningProgress::Unit::Documents);
    EXPECT_EQ(progress.done, 3u);
    EXPECT_EQ(progress.total, 3u);
}

// The activity log refuses the start line of the third signature, as a failure while signing
// that one document.
class ThirdSignatureFails : public RecordingLog {
public:
    void PrintInfo(const std::string& text) override {
        if (text.find("выработка подписи начата") != std::string::npos && ++starts_ == 3)
            throw std::runtime_error("третий документ не подписан");
        RecordingLog::PrintInfo(text);
    }

private:
    int starts_ = 0;
};

TEST_F(TSignTest, BatchStopsAtTheFirstFailingJob) {
    TJobList jobs = {{"1", "one", "", ""},
                     {"2", "two", "", ""},
                     {"3", "three", "", ""},
                     {"4", "four", "", ""},
                     {"5", "five", "", ""}};
    jobs[4].sign = "left over from an earlier attempt";
    ThirdSignatureFails log;
    TSign sign(TSignContext{log, WithHash(kSha256), world_->store.path(), &prompt_, nullptr}, jobs,
               "0E0C", "");
    EXPECT_FALSE(sign.Sign());
    EXPECT_EQ(sign.message(), "третий документ не подписан");
    ExpectGoodSignature(Base64Decode(jobs[0].sign), "one", world_->caDe, kSha256);
    ExpectGoodSignature(Base64Decode(jobs[1].sign), "two", world_->caDe, kSha256);
    EXPECT_TRUE(jobs[0].error.empty());
    EXPECT_TRUE(jobs[1].error.empty());
    EXPECT_TRUE(jobs[2].sign.empty());
    EXPECT_EQ(jobs[2].error, "третий документ не подписан");
    for (int i : {3, 4}) {
        EXPECT_TRUE(jobs[i].sign.empty()) << i;
        EXPECT_TRUE(jobs[i].error.empty()) << i;
    }
    ASSERT_FALSE(log.Lines().empty());
    EXPECT_TRUE(IsStamped(log.Lines().back(), " третий документ не подписан"));
}

// Empty data is signed like any other: a detached signature over zero bytes verifies.
TEST_F(TSignTest, EmptyDataIsSigned) {
    WriteBytes(work_ / "empty.txt", "");
    TSign single(Context(WithHash(kSha256)), (work_ / "empty.txt").string(), "0E0C");
    ASSERT_TRUE(single.Sign()) << single.message();
    ExpectBase64Lines64(single.Signature());
    ExpectGoodSignature(Base64Decode(single.Signature()), "", world_->caDe, kSha256);

    TJobList jobs = {{"1", "one", "", ""}, {"2", "", "", ""}};
    TSign batch(Context(WithHash(kSha256)), jobs, "0E0C", "");
    ASSERT_TRUE(batch.Sign()) << batch.message();
    for (const TRecordSign& job : jobs) {
        EXPECT_TRUE(job.error.empty());
        ExpectGoodSignature(Base64Decode(job.sign), job.pData, world_->caDe, kSha256);
    }
}

TEST_F(TSignTest, BatchWithACancelledPromptAndAnEmptyList) {
    TJobList jobs = {{"1", "one", "", ""}, {"2", "two", "", ""}};
    ScriptedPasswordPrompt cancel({std::nullopt});
    TSignContext ctx = Context(WithHash(kSha256));
    ctx.passwordPrompt = &cancel;
    TSign cancelled(ctx, jobs, "0909", "");
    EXPECT_FALSE(cancelled.Sign());
    EXPECT_EQ(cancelled.message(), "");
    EXPECT_EQ(jobs[0].error, "");
    EXPECT_TRUE(jobs[0].sign.empty());

    TJobList none;
    TSign empty(Context(WithHash(kSha256)), none, "0E0C", "");
    EXPECT_FALSE(empty.Sign());
    EXPECT_EQ(empty.message(), "");
}

// ---- the Avest branch ------------------------------------------------------------------------

TEST_F(TSignTest, AvCryptSendsSingleAndBatchToTheAvestSigner) {
    WriteBytes(work_ / "doc.txt", "avest data");
    FakeAvest avest;
    SigningOptions options;
    options.avCrypt = true;
    options.debug = true;
    TSignContext ctx = Context(options);
    ctx.avest = &avest;

    // Single mode, success: no CMS lines, the signer's text is the signature. The issuer has
    // no country: the Avest path does not need one.
    TSign single(ctx, (work_ / "doc.txt").string(), "4E");
    ASSERT_TRUE(single.Sign());
    EXPECT_EQ(single.Signature(), "AVEST\r\n");
    EXPECT_EQ(avest.calls, (std::vector<std::string>{"buffer 4E avest data"}));
    EXPECT_EQ(log_.Lines(), (std::vector<std::string>{"issuerCountry: \"\""}));

    // Serial text without grouping; failures keep the signer's message.
    avest.calls.clear();
    avest.result = false;
    avest.message = "AvError: 3895066918";
    TSign refused(ctx, (work_ / "doc.txt").string(), "0A0B 0C0D");
    EXPECT_FALSE(refused.Sign());
    EXPECT_EQ(refused.message(), "AvError: 3895066918");
    EXPECT_EQ(avest.calls, (std::vector<std::string>{"buffer 0A0B0C0D avest data"}));

    // A broken run: the text reaches message and the log with a time stamp.
    log_.ClearInfo();
    avest.throwText = "Ошибка подписи Avest. нет библиотеки";
    TSign broken(ctx, (work_ / "doc.txt").string(), "0A0B 0C0D");
    EXPECT_FALSE(broken.Sign());
    EXPECT_EQ(broken.message(), "Ошибка подписи Avest. нет библиотеки");
    ASSERT_EQ(log_.Lines().size(), 2u);
    EXPECT_TRUE(IsStamped(log_.Lines()[1], " Ошибка подписи Avest. нет библиотеки"));

    // Batch mode: the whole list goes to the signer at once.
    avest.calls.clear();
    avest.throwText.clear();
    avest.result = true;
    TJobList jobs = {{"1", "a", "", ""}, {"2", "b", "", ""}};
    TSign batch(ctx, jobs, "0E0C", "");
    EXPECT_TRUE(batch.Sign());
    EXPECT_EQ(avest.calls, (std::vector<std::string>{"jobs 0E0C 2"}));
    EXPECT_EQ(jobs[0].sign, "AVEST a");
    EXPECT_EQ(jobs[1].sign, "AVEST b");

    avest.throwText = "Ошибка подписи Avest. сбой";
    TSign batchBroken(ctx, jobs, "0E0C", "");
    EXPECT_FALSE(batchBroken.Sign());
    EXPECT_EQ(batchBroken.message(), "Ошибка подписи Avest. сбой");

    // avCrypt on without a signer to call.
    ctx.avest = nullptr;
    TSign missing(ctx, (work_ / "doc.txt").string(), "0E0C");
    EXPECT_FALSE(missing.Sign());
    EXPECT_EQ(missing.message().rfind("Ошибка подписи Avest. ", 0), 0u);
}

// ---- bad input -------------------------------------------------------------------------------

TEST_F(TSignTest, FilesThatCannotBeSignedFailWithATextAndLeaveNoHandleOpen) {
    const std::size_t fdsBefore = OpenDescriptorCount();
    std::filesystem::create_directory(work_ / "folder");
    struct Case {
        std::string file, message;
    };
    const Case cases[] = {
        {(work_ / "missing.txt").string(), "Не удается открыть файл \"" +
                                               (work_ / "missing.txt").string() +
                                               "\". Не удается найти указанный файл."},
        {(work_ / "folder").string(),
         "Не удается открыть файл \"" + (work_ / "folder").string() + "\". Отказано в доступе."},
        // A device has no content of its own to sign (and might never end).
        {"/dev/zero", "Не удается открыть файл \"/dev/zero\". Отказано в доступе."},
    };
    for (const Case& c : cases) {
        log_.ClearInfo();
        TSign sign(Context(WithHash(kSha256)), c.file, "0E0C");
        EXPECT_FALSE(sign.Sign()) << c.file;
        EXPECT_EQ(sign.message(), c.message);
        ASSERT_FALSE(log_.Lines().empty());
        EXPECT_TRUE(IsStamped(log_.Lines().back(), " " + c.message)) << log_.Lines().back();
    }
    EXPECT_EQ(OpenDescriptorCount(), fdsBefore);
}

// The Avest library takes the whole content at once: its path reads the file whole and keeps a
// limit, refused before anything is read (a sparse file: nothing is allocated).
TEST_F(TSignTest, TheAvestPathRefusesFilesAboveItsLimit) {
    ASSERT_EQ(truncate(WriteEmpty(work_ / "huge.bin").c_str(), std::int64_t{2} << 30), 0);
    FakeAvest avest;
    SigningOptions options = WithHash(kSha256);
    options.avCrypt = true;
    TSignContext ctx = Context(options);
    ctx.avest = &avest;
    TSign sign(ctx, (work_ / "huge.bin").string(), "0E0C");
    EXPECT_FALSE(sign.Sign());
    const std::string text = "Размер файла (2147483648) превышает допустимый (1073741824).";
    EXPECT_EQ(sign.message(), text);
    EXPECT_TRUE(avest.calls.empty());
    ASSERT_FALSE(log_.Lines().empty());
    EXPECT_TRUE(IsStamped(log_.Lines().back(), " " + text)) << log_.Lines().back();
}

}  // namespace
}  // namespace korvalo
