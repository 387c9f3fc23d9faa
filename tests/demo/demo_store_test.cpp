// scripts/demo-store.sh: the demo certificates it makes are what Korvalo's store lists and
// signs with, and what the demo service verifies against the demo CA.

#include <gtest/gtest.h>

#include "cms_check.h"
#include "demo/demo_fixture.h"
#include "platform/crypto/cert_store.h"
#include "platform/crypto/crypt_message.h"
#include "platform/tokens/token_registry.h"
#include "support/cert_fixture.h"
#include "support/recording_doubles.h"

namespace korvalo::demotest {
namespace {

using testing::CommandResult;
using testing::ReadBytes;
using testing::RunCommand;
using testing::ScriptedPasswordPrompt;

CommandResult RunDemoStore(const std::vector<std::string>& args) {
    std::vector<std::string> argv{"bash", KORVALO_DEMO_STORE_SCRIPT};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunCommand(argv);
}

class DemoStoreTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        FDir = std::make_unique<TempDir>();
        const CommandResult made = RunDemoStore({(FDir->path() / "demo").string()});
        ASSERT_EQ(made.exitCode, 0) << made.output;
    }
    static void TearDownTestSuite() { FDir.reset(); }
    static std::filesystem::path demo() { return FDir->path() / "demo"; }
    static std::unique_ptr<TempDir> FDir;
};

std::unique_ptr<TempDir> DemoStoreTest::FDir;

TEST_F(DemoStoreTest, KorvalosStoreListsThePersonalCertificates) {
    const auto store = CertStore::Open(demo() / "store");
    ASSERT_TRUE(store);
    EXPECT_TRUE(store->Problems().empty());
    const struct {
        const char* serial;
        const char* cn;
        const char* sn;
        const char* gn;
        const char* ou;
    } expected[] = {
        {"1A2B 3C4D 5E6F", "Иванов Иван Иванович", "Иванов", "Иван Иванович", "Бухгалтерия"},
        {"01 0203 0405", "Сидорова Мария Петровна", "Сидорова", "Мария Петровна", "Отдел продаж"},
        {"7B", "Козлов Пётр Андреевич", "Козлов", "Пётр Андреевич", "Дирекция"},
    };
    ASSERT_EQ(store->Certificates().size(), std::size(expected));
    for (std::size_t i = 0; i < std::size(expected); ++i) {
        const StoreCertificate& cert = store->Certificates()[i];
        EXPECT_EQ(cert.SerialText(), expected[i].serial);
        EXPECT_EQ(cert.SubjectPart(kOidCommonName), expected[i].cn);
        EXPECT_EQ(cert.SubjectPart(kOidSurname), expected[i].sn);
        EXPECT_EQ(cert.SubjectPart(kOidGivenName), expected[i].gn);
        EXPECT_EQ(cert.SubjectPart(kOidOrganization), "ООО «Ромашка»");
        EXPECT_EQ(cert.SubjectPart(kOidOrganizationalUnit), expected[i].ou);
        EXPECT_EQ(cert.IssuerPart(kOidCountry), "BY");
        EXPECT_TRUE(cert.IsValidNow());
    }
}

TEST_F(DemoStoreTest, SignaturesMadeThroughTheStoreVerifyAgainstTheDemoCa) {
    const auto store = CertStore::Open(demo() / "store");
    ASSERT_TRUE(store);
    ASSERT_EQ(store->Certificates().size(), 3u);

    // The settings file chooses SHA-256 for every certificate.
    const std::string ini = ReadBytes(demo() / "korvalo.ini");
    EXPECT_NE(ini.find("[Main]"), std::string::npos);
    EXPECT_NE(ini.find("hashAlgOID=2.16.840.1.101.3.4.2.1"), std::string::npos);
    const EVP_MD* sha256 = FindDigestByOid("2.16.840.1.101.3.4.2.1");
    ASSERT_NE(sha256, nullptr);

    const demo::SignatureChecker checker(demo() / "ca.pem");
    const std::string data = "\xCF\xF0\xE8\xE2\xE5\xF2 <b>demo</b>";
    for (std::size_t i = 0; i < 3; ++i) {
        const StoreCertificate& cert = store->Certificates()[i];
        ScriptedPasswordPrompt prompt({"1234"});
        KeyResult key = cert.LoadPrivateKey(&prompt);
        ASSERT_EQ(key.error, 0u) << key.message;
        // Only the third key is guarded by a password.
        EXPECT_EQ(prompt.asked.size(), i == 2 ? 1u : 0u);

        std::string der;
        CmsSignStage stage;
        ASSERT_EQ(DetachedCmsSigner(cert.Handle(), key.key.get(), sha256).Sign(data, der, stage),
                  0u);
        const demo::SignatureReport report = checker.VerifyDetached(der, data);
        EXPECT_TRUE(report.verified) << report.error;
        ASSERT_EQ(report.signers.size(), 1u);
        EXPECT_TRUE(report.signers[0].chainsToCa) << report.signers[0].chainError;
        EXPECT_EQ(report.signers[0].serialText, cert.SerialText());
        EXPECT_EQ(report.signers[0].digestOid, "2.16.840.1.101.3.4.2.1");
    }
    EXPECT_EQ(store->Certificates()[2].LoadPrivateKey(nullptr).error, kNteSilentContext);
}

TEST_F(DemoStoreTest, TheDemoTokenListsItsCertificateAndSignsWithPin1234) {
    // SoftHSM2, reached through the p11-kit proxy, reads the demo token's configuration.
    const std::string conf = (demo() / "token" / "softhsm2.conf").string();
    ASSERT_TRUE(std::filesystem::exists(conf));
    setenv("SOFTHSM2_CONF", conf.c_str(), 1);
    testing::RecordingLog log;
    {
        TokenRegistry registry(log);
        const auto store = CertStore::Open(demo() / "store", StoreTokens{&registry, {}});
        ASSERT_TRUE(store);
        ASSERT_EQ(store->Certificates().size(), 4u);
        const StoreCertificate& cert = store->Certificates()[3];
        EXPECT_EQ(cert.SerialText(), "70D0");
        EXPECT_EQ(cert.SubjectPart(kOidCommonName), "Токенова Ольга Сергеевна");
        EXPECT_EQ(cert.SubjectPart(kOidOrganization), "ООО «Ромашка»");
        EXPECT_EQ(cert.IssuerPart(kOidCountry), "BY");
        EXPECT_TRUE(cert.IsValidNow());
        EXPECT_EQ(ReadBytes(demo() / "token" / "token.pem").rfind("-----BEGIN CERTIFICATE-----", 0),
                  0u);

        ScriptedPasswordPrompt prompt({"1234"});
        const OpenedKey key = cert.OpenKey(&prompt);
        ASSERT_TRUE(key.key) << key.status.message;
        EXPECT_EQ(
            prompt.pinAsked,
            (std::vector<ScriptedPasswordPrompt::PinQuestion>{{"Korvalo Demo", false, false}}));
        const std::string data = "token <b>demo</b>";
        std::string der;
        CmsSignStage stage;
        const EVP_MD* sha256 = FindDigestByOid("2.16.840.1.101.3.4.2.1");
        ASSERT_TRUE(key.key->SignDetached(data, sha256, der, stage).Ok());
        const demo::SignatureReport report =
            demo::SignatureChecker(demo() / "ca.pem").VerifyDetached(der, data);
        EXPECT_TRUE(report.verified) << report.error;
        ASSERT_EQ(report.signers.size(), 1u);
        EXPECT_TRUE(report.signers[0].chainsToCa) << report.signers[0].chainError;
    }
    unsetenv("SOFTHSM2_CONF");
    EXPECT_TRUE(log.Lines().empty());
}

TEST_F(DemoStoreTest, CardCertificateComesFromTheDemoCa) {
    const CommandResult verified =
        RunCommand({"openssl", "verify", "-CAfile", (demo() / "ca.pem").string(),
                    (demo() / "card" / "card.pem").string()});
    EXPECT_EQ(verified.exitCode, 0) << verified.output;
    const CommandResult key =
        RunCommand({"openssl", "pkey", "-in", (demo() / "card" / "card.key").string(), "-noout"});
    EXPECT_EQ(key.exitCode, 0) << key.output;
}

TEST_F(DemoStoreTest, KeepsAnExistingFolderUnlessForced) {
    const std::string ca = ReadBytes(demo() / "ca.pem");
    const CommandResult again = RunDemoStore({demo().string()});
    ASSERT_EQ(again.exitCode, 0) << again.output;
    EXPECT_EQ(ReadBytes(demo() / "ca.pem"), ca);
    EXPECT_NE(again.output.find("already"), std::string::npos);

    const std::filesystem::path other = FDir->path() / "other";
    const CommandResult made = RunDemoStore({other.string()});
    ASSERT_EQ(made.exitCode, 0) << made.output;
    const std::string otherCa = ReadBytes(other / "ca.pem");
    const CommandResult forced = RunDemoStore({"--force", other.string()});
    ASSERT_EQ(forced.exitCode, 0) << forced.output;
    EXPECT_NE(ReadBytes(other / "ca.pem"), otherCa);
    // Nothing half-made is left behind.
    for (const auto& entry : std::filesystem::directory_iterator(other))
        EXPECT_NE(entry.path().filename().string().rfind(".making", 0), 0u) << entry.path();

    EXPECT_EQ(RunDemoStore({}).exitCode, 2);
}

}  // namespace
}  // namespace korvalo::demotest
