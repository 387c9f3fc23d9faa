// Tests of TSign with keys on a SoftHSM2 token: signatures checked by the openssl command, the
// PIN asked in the key password window (wrong, cancelled, per signature, once for a batch), and
// through the fault module a locked PIN, a PIN pad and a token taken out in the middle of a batch.

#include <gtest/gtest.h>

#include "core/base64.h"
#include "platform/crypto/crypt_errors.h"
#include "platform/tokens/token_registry.h"
#include "services/engines/criptsign.h"
#include "services/engines/criptsign_test_support.h"
#include "support/softhsm_tokens.h"

namespace korvalo {
namespace {

using namespace korvalo::testing;
using namespace korvalo::criptsign_test;
using PinQuestion = ScriptedPasswordPrompt::PinQuestion;

constexpr char kRsaSerial[] = "70 C0A1";
constexpr char kEcSerial[] = "70 C0E2";
constexpr char kGostSerial[] = "70 C0B3";
constexpr char kLabel[] = "Korvalo Test";

const PinQuestion kLogin{kLabel, false, false};
const PinQuestion kLoginAgain{kLabel, true, false};
const PinQuestion kSignature{kLabel, false, true};
const PinQuestion kSignatureAgain{kLabel, true, true};

class TSignTokenTest : public ::testing::Test {
protected:
    // A token with the RSA pair, the EC pair (asking for its PIN at every signature when
    // perSignatureEc) and the GOST certificate.
    void MakeToken(bool perSignatureEc = false) {
        TokenContents recipe;
        TokenObject ec = EcObject();
        ec.alwaysAuthenticate = perSignatureEc;
        TokenObject gost;
        gost.certFile = "gost.pem";
        gost.id = "\x03";
        gost.label = "gost";
        recipe.objects = {RsaObject(), ec, gost};
        tokens_.AddToken(recipe);
    }
    // Reaches the token through the p11-kit proxy, or through the fault module alone.
    void UseProxy() { registry_ = std::make_unique<TokenRegistry>(log_); }
    void UseFaultModule() {
        faults_ = std::make_unique<FaultModule>();
        registry_ =
            std::make_unique<TokenRegistry>(log_, TokenRegistry::Options{.proxyModule = ""});
        modules_ = {FaultModulePath()};
    }
    TSignContext Context(const std::string& hash = kSha256) {
        SigningOptions options;
        options.hashAlgOID = hash;
        options.pkcs11Modules = modules_;
        return TSignContext{log_, options, folder_.path(), &prompt_, nullptr, registry_.get()};
    }
    std::string Document(const std::string& content) {
        WriteBytes(work_ / "doc.txt", content);
        return (work_ / "doc.txt").string();
    }
    static TJobList Jobs(int count) {
        TJobList jobs;
        for (int i = 1; i <= count; ++i)
            jobs.push_back({std::to_string(i), "document " + std::to_string(i), "", ""});
        return jobs;
    }
    // The log lines other than the start and the end of a signature, without their time
    // stamps: an error line is " " and its text.
    std::vector<std::string> ErrorLines() {
        std::vector<std::string> lines;
        for (const std::string& line : log_.Texts()) {
            if (line != " ---> выработка подписи начата" && line != " подпись выработана")
                lines.push_back(line);
        }
        return lines;
    }

    SoftHsmTokens tokens_;
    RecordingLog log_;
    ScriptedPasswordPrompt prompt_;
    TempDir folder_;
    TempDir work_;
    std::unique_ptr<FaultModule> faults_;
    std::unique_ptr<TokenRegistry> registry_;
    std::vector<std::string> modules_;
};

TEST_F(TSignTokenTest, RsaAndEcdsaTokenKeysMakeSignaturesThatVerify) {
    MakeToken();
    UseProxy();
    struct Case {
        const char* serial;
        const char* hash;
    };
    for (const Case& c : {Case{kRsaSerial, kSha256}, Case{kEcSerial, kSha384}}) {
        SCOPED_TRACE(c.serial);
        prompt_.Answer("1234");
        const std::string content = std::string("signed on the token \0\xFF", 23);
        TSign sign(Context(c.hash), Document(content), c.serial);
        ASSERT_TRUE(sign.Sign()) << sign.message();
        ExpectBase64Lines64(sign.Signature());
        ExpectGoodSignature(Base64Decode(sign.Signature()), content, TokenFixture("ca.pem"),
                            c.hash);
    }
    EXPECT_EQ(prompt_.pinAsked, (std::vector<PinQuestion>{kLogin, kLogin}));
    EXPECT_TRUE(prompt_.asked.empty());
    EXPECT_TRUE(ErrorLines().empty());
}

TEST_F(TSignTokenTest, AWrongPinAsksAgain) {
    MakeToken();
    UseProxy();
    prompt_.Answer("0000");
    prompt_.Answer("1234");
    TSign sign(Context(), Document("data"), kRsaSerial);
    ASSERT_TRUE(sign.Sign()) << sign.message();
    EXPECT_EQ(prompt_.pinAsked, (std::vector<PinQuestion>{kLogin, kLoginAgain}));
    ExpectGoodSignature(Base64Decode(sign.Signature()), "data", TokenFixture("ca.pem"), kSha256);
}

TEST_F(TSignTokenTest, ACancelledPinEndsWithoutMessageOrErrorLine) {
    MakeToken();
    UseProxy();
    prompt_.Answer(std::nullopt);
    TSign sign(Context(), Document("data"), kRsaSerial);
    EXPECT_FALSE(sign.Sign());
    EXPECT_EQ(sign.message(), "");
    EXPECT_TRUE(sign.Signature().empty());
    EXPECT_EQ(log_.Messages(), std::vector<std::string>{"выработка подписи начата"});
}

TEST_F(TSignTokenTest, ABatchOfTenAsksForThePinOnce) {
    MakeToken();
    UseFaultModule();
    prompt_.Answer("1234");
    TJobList jobs = Jobs(10);
    TSign sign(Context(), jobs, kRsaSerial, "");
    ASSERT_TRUE(sign.Sign()) << sign.message();
    EXPECT_EQ(prompt_.pinAsked, std::vector<PinQuestion>{kLogin});
    EXPECT_EQ(faults_->UserLogins(), 1);
    EXPECT_EQ(faults_->Signatures(), 10);
    for (const TRecordSign& job : jobs)
        ExpectGoodSignature(Base64Decode(job.sign), job.pData, TokenFixture("ca.pem"), kSha256);

    // The next signing call logs in anew: the login ends with the call.
    prompt_.Answer("1234");
    TSign next(Context(), Document("next"), kRsaSerial);
    ASSERT_TRUE(next.Sign()) << next.message();
    EXPECT_EQ(prompt_.pinAsked, (std::vector<PinQuestion>{kLogin, kLogin}));
    EXPECT_EQ(faults_->UserLogins(), 2);
}

TEST_F(TSignTokenTest, AKeyThatAsksAtEverySignatureAsksForEachDocument) {
    MakeToken(/*perSignatureEc=*/true);
    UseFaultModule();
    // The login, then a PIN per document; the second document's first PIN is wrong.
    for (const char* pin : {"1234", "1234", "9999", "1234", "1234"})
        prompt_.Answer(pin);
    TJobList jobs = Jobs(3);
    TSign sign(Context(), jobs, kEcSerial, "");
    ASSERT_TRUE(sign.Sign()) << sign.message();
    EXPECT_EQ(prompt_.pinAsked, (std::vector<PinQuestion>{kLogin, kSignature, kSignature,
                                                          kSignatureAgain, kSignature}));
    EXPECT_EQ(faults_->SignatureLogins(), 4);
    for (const TRecordSign& job : jobs)
        ExpectGoodSignature(Base64Decode(job.sign), job.pData, TokenFixture("ca.pem"), kSha256);
    EXPECT_TRUE(ErrorLines().empty());
}

TEST_F(TSignTokenTest, ACancelledSignaturePinEndsQuietlyAndTheNextAttemptWorks) {
    MakeToken(/*perSignatureEc=*/true);
    UseFaultModule();
    prompt_.Answer("1234");
    prompt_.Answer(std::nullopt);
    TJobList jobs = Jobs(2);
    TSign cancelled(Context(), jobs, kEcSerial, "");
    EXPECT_FALSE(cancelled.Sign());
    EXPECT_EQ(cancelled.message(), "");
    EXPECT_EQ(jobs[0].error, "");
    EXPECT_TRUE(jobs[0].sign.empty());
    EXPECT_TRUE(ErrorLines().empty());

    for (const char* pin : {"1234", "1234"})
        prompt_.Answer(pin);
    TSign again(Context(), Document("again"), kEcSerial);
    ASSERT_TRUE(again.Sign()) << again.message();
    ExpectGoodSignature(Base64Decode(again.Signature()), "again", TokenFixture("ca.pem"), kSha256);
}

TEST_F(TSignTokenTest, ALockedPinFailsWithItsTextAndNoPrompt) {
    MakeToken();
    UseFaultModule();
    faults_->LockPin(true);
    TSign sign(Context(), Document("data"), kRsaSerial);
    EXPECT_FALSE(sign.Sign());
    EXPECT_EQ(sign.message(),
              "Токен «Korvalo Test»: PIN-код заблокирован: исчерпано число попыток его ввода. "
              "Разблокируйте его средствами токена или смарт-карты.");
    EXPECT_TRUE(prompt_.pinAsked.empty());
    EXPECT_EQ(ErrorLines(), std::vector<std::string>{" " + sign.message()});
}

TEST_F(TSignTokenTest, ATokenWithAPinPadLogsInWithoutAPrompt) {
    MakeToken(/*perSignatureEc=*/true);
    UseFaultModule();
    faults_->PinPad("1234");
    TJobList jobs = Jobs(2);
    TSign sign(Context(), jobs, kEcSerial, "");
    ASSERT_TRUE(sign.Sign()) << sign.message();
    EXPECT_TRUE(prompt_.pinAsked.empty());
    EXPECT_EQ(faults_->UserLogins(), 1);
    EXPECT_EQ(faults_->SignatureLogins(), 2);

    // A wrong PIN on the pad is entered again there, a few times, then the attempt ends.
    faults_->PinPad("9999");
    TSign wrong(Context(), Document("data"), kRsaSerial);
    EXPECT_FALSE(wrong.Sign());
    EXPECT_EQ(wrong.message(), "Токен «Korvalo Test»: Введён неверный PIN-код.");
    EXPECT_EQ(faults_->UserLogins(), 1 + 3);
    EXPECT_TRUE(prompt_.pinAsked.empty());
}

TEST_F(TSignTokenTest, ATokenTakenOutInTheMiddleOfABatchFailsClearlyAndWorksWhenBack) {
    MakeToken();
    UseFaultModule();
    faults_->RemoveAfterSignatures(1);
    prompt_.Answer("1234");
    TJobList jobs = Jobs(3);
    TSign sign(Context(), jobs, kRsaSerial, "");
    EXPECT_FALSE(sign.Sign());
    const std::string removed =
        "Токен «Korvalo Test»: Смарт-карта или токен извлечены из считывателя. Вставьте их и "
        "повторите подпись.";
    EXPECT_EQ(sign.message(), removed);
    ExpectGoodSignature(Base64Decode(jobs[0].sign), jobs[0].pData, TokenFixture("ca.pem"), kSha256);
    EXPECT_EQ(jobs[1].error, removed);
    EXPECT_TRUE(jobs[1].sign.empty());
    EXPECT_TRUE(jobs[2].sign.empty() && jobs[2].error.empty());
    EXPECT_EQ(ErrorLines(), std::vector<std::string>{" " + removed});

    // While it is out, the store does not list it: the certificate is not found.
    TSign absent(Context(), Document("absent"), kRsaSerial);
    EXPECT_FALSE(absent.Sign());
    EXPECT_EQ(absent.message(), "Cертификат не найден.");

    faults_->Insert();
    prompt_.Answer("1234");
    TJobList again = Jobs(3);
    TSign back(Context(), again, kRsaSerial, "");
    ASSERT_TRUE(back.Sign()) << back.message();
    for (const TRecordSign& job : again)
        ExpectGoodSignature(Base64Decode(job.sign), job.pData, TokenFixture("ca.pem"), kSha256);
}

TEST_F(TSignTokenTest, AGostKeyOnATokenFailsWithAClearTextBeforeAnythingIsAsked) {
    MakeToken();
    UseProxy();
    for (const std::string& hash : {std::string(kSha256), std::string()}) {
        TSign sign(Context(hash), Document("data"), kGostSerial);
        EXPECT_FALSE(sign.Sign());
        EXPECT_EQ(sign.message(),
                  "Токен «Korvalo Test»: ключ ГОСТ не поддерживается, с токенов подписывают "
                  "только ключами RSA и ECDSA.");
    }
    EXPECT_TRUE(prompt_.pinAsked.empty());
}

TEST_F(TSignTokenTest, WithoutAPromptATokenThatNeedsAPinFailsSilently) {
    MakeToken();
    UseProxy();
    TSignContext context = Context();
    context.passwordPrompt = nullptr;
    TSign sign(context, Document("data"), kRsaSerial);
    EXPECT_FALSE(sign.Sign());
    EXPECT_EQ(sign.message(), "Токен «Korvalo Test»: " + CryptErrorText(kNteSilentContext));
}

}  // namespace
}  // namespace korvalo
