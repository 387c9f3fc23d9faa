// Tests of the folder certificate store: opening, order, names, serials, validity, bad files
// and private keys behind passwords.

#include "platform/crypto/cert_store.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include "core/base64.h"
#include "support/cert_fixture.h"

namespace korvalo {
namespace {

using namespace std::chrono_literals;
using testing::CertRecipe;
using testing::Clock;
using testing::KeyKind;
using testing::NameParts;
using testing::TempDir;
using testing::TestCert;

using ScriptedPrompt = testing::ScriptedPasswordPrompt;

CertRecipe CertFor(const std::string& serialHex, NameParts subject = {"Test", "", "", "", "", ""}) {
    CertRecipe wanted;
    wanted.serialHex = serialHex;
    wanted.subject = std::move(subject);
    return wanted;
}

class CertStoreTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ca_ = new TestCert(testing::MakeCa(
            CertFor("7E57CA", {"Test CA", "", "", "Korvalo Test", "Signing", "BY"})));
    }
    static void TearDownTestSuite() {
        delete ca_;
        ca_ = nullptr;
    }
    static TestCert Issue(const CertRecipe& wanted) { return testing::IssueCert(*ca_, wanted); }

    std::unique_ptr<CertStore> OpenStore() {
        auto store = CertStore::Open(dir_.path());
        EXPECT_NE(store, nullptr);
        return store;
    }

    static TestCert* ca_;
    TempDir dir_;
};
TestCert* CertStoreTest::ca_ = nullptr;

// ---- serial-number texts -----------------------------------------------------------------

TEST(SerialToHexTest, GroupsTwoBytesFromTheLeastSignificantEnd) {
    struct Case {
        std::string stored;  // least significant first
        std::string grouped, plain;
    };
    const Case cases[] = {
        {"\x01\x02\x03\x04\x05", "05 0403 0201", "0504030201"},
        {"\x0A\x0B", "0B0A", "0B0A"},
        {"\x0D\x0C\x0B\x0A", "0A0B 0C0D", "0A0B0C0D"},
        {"\x01\x02\x03", "03 0201", "030201"},
        {"\x7F", "7F", "7F"},
        {std::string("\xFF\x00\xAB", 3), "AB 00FF", "AB00FF"},
        {"", "", ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(SerialToHex(c.stored, true), c.grouped);
        EXPECT_EQ(SerialToHex(c.stored, false), c.plain);
    }
}

TEST_F(CertStoreTest, SerialBytesAreTheIntegerContentLeastSignificantFirst) {
    struct Case {
        std::string serialHex, stored, text;
    };
    const Case cases[] = {
        {"0A0B0C0D", "\x0D\x0C\x0B\x0A", "0A0B 0C0D"},
        {"030201", "\x01\x02\x03", "03 0201"},
        {"7F", "\x7F", "7F"},
        {"0080", std::string("\x80\x00", 2), "0080"},  // positive 128 keeps its sign byte
        {"80", "\x80", "80"},                          // negative -128
        {"00", std::string("\x00", 1), "00"},
    };
    int n = 0;
    for (const Case& c : cases)
        testing::WritePem(dir_ / ("c" + std::to_string(n++) + ".pem"), Issue(CertFor(c.serialHex)));
    auto store = OpenStore();
    ASSERT_EQ(store->Certificates().size(), std::size(cases));
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const StoreCertificate& cert = store->Certificates()[i];
        EXPECT_EQ(cert.SerialBytes(), cases[i].stored) << cases[i].serialHex;
        EXPECT_EQ(cert.SerialText(), cases[i].text);
    }
}

// ---- opening and order -------------------------------------------------------------------

TEST_F(CertStoreTest, AMissingFolderIsCreatedAsAnEmptyStore) {
    namespace fs = std::filesystem;
    const fs::path folder = dir_ / "share" / "korvalo" / "MY";
    auto created = CertStore::Open(folder);
    ASSERT_NE(created, nullptr);
    EXPECT_TRUE(created->Certificates().empty());
    EXPECT_TRUE(created->Problems().empty());
    // The folder and every folder made above it are the user's own.
    for (const fs::path& made : {dir_ / "share", dir_ / "share" / "korvalo", folder}) {
        struct stat st {};
        ASSERT_EQ(::stat(made.c_str(), &st), 0) << made;
        EXPECT_TRUE(S_ISDIR(st.st_mode)) << made;
        EXPECT_EQ(st.st_mode & 0777, 0700u) << made;
    }
    // Certificates put there afterwards are listed.
    testing::WritePem(folder / "1.pem", Issue(CertFor("01")));
    auto filled = CertStore::Open(folder);
    ASSERT_NE(filled, nullptr);
    EXPECT_EQ(filled->Certificates().size(), 1u);

    auto empty = CertStore::Open(dir_.path());
    ASSERT_NE(empty, nullptr);
    EXPECT_TRUE(empty->Certificates().empty());
}

TEST_F(CertStoreTest, APathThatCannotBeAFolderCannotBeOpened) {
    EXPECT_EQ(CertStore::Open(""), nullptr);
    testing::WriteBytes(dir_ / "file", "x");
    EXPECT_EQ(CertStore::Open(dir_ / "file"), nullptr);
    EXPECT_EQ(CertStore::Open(dir_ / "file" / "MY"), nullptr);
    EXPECT_FALSE(std::filesystem::exists(dir_ / "file" / "MY"));
}

TEST_F(CertStoreTest, AnUnreadableFolderCannotBeOpened) {
    namespace fs = std::filesystem;
    // A folder that exists and can be entered but not listed.
    fs::permissions(dir_.path(),
                    fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
    fs::create_directory(dir_ / "locked");
    testing::WritePem(dir_ / "locked" / "1.pem", Issue(CertFor("01")));
    fs::permissions(dir_ / "locked",
                    fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec);
    if (geteuid() != 0) {
        EXPECT_EQ(CertStore::Open(dir_ / "locked"), nullptr);
        return;
    }
    // Root reads every folder: ask as an ordinary user in a child process.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const bool dropped = setgid(65534) == 0 && setuid(65534) == 0;
        _exit(!dropped ? 2 : CertStore::Open(dir_ / "locked") == nullptr ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "2: could not become an ordinary user";
}

TEST_F(CertStoreTest, ListsEveryFormatInFileNameOrder) {
    testing::WritePem(dir_ / "b.pem", Issue(CertFor("0B")));
    testing::WritePkcs12(dir_ / "a.p12", Issue(CertFor("0A")));
    testing::WritePkcs12(dir_ / "c.pfx", Issue(CertFor("0C")),
                         {.password = "secret", .encryptCerts = false});
    testing::WritePem(dir_ / "d.txt", Issue(CertFor("0D")));  // not a store file
    testing::WritePem(dir_ / "E.PEM", Issue(CertFor("0E")));
    std::filesystem::create_directory(dir_ / "f.pem");  // a folder, not a file
    auto store = OpenStore();
    std::vector<std::string> serials;
    for (const auto& cert : store->Certificates())
        serials.push_back(cert.SerialText());
    // Byte order of the names: upper-case letters sort before lower-case ones.
    EXPECT_EQ(serials, (std::vector<std::string>{"0E", "0A", "0B", "0C"}));
    EXPECT_TRUE(store->Problems().empty());
}

TEST_F(CertStoreTest, DefaultLocationComesFromTheEnvironment) {
    const char* savedStore = std::getenv("KORVALO_CERT_STORE");
    const std::string saved = savedStore != nullptr ? savedStore : "";
    setenv("KORVALO_CERT_STORE", dir_.path().c_str(), 1);
    EXPECT_EQ(DefaultCertStoreLocation(), dir_.path());
    unsetenv("KORVALO_CERT_STORE");
    if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
        EXPECT_EQ(DefaultCertStoreLocation(),
                  std::filesystem::path(home) / ".local/share/korvalo/certs/MY");
    }
    setenv("KORVALO_CERT_STORE", "", 1);  // empty counts as not set
    EXPECT_EQ(DefaultCertStoreLocation().filename(), "MY");
    if (savedStore != nullptr)
        setenv("KORVALO_CERT_STORE", saved.c_str(), 1);
    else
        unsetenv("KORVALO_CERT_STORE");
}

// ---- names, validity, lookup -----------------------------------------------------------------

TEST_F(CertStoreTest, NamePartsByObjectIdentifier) {
    const TestCert named = Issue(
        CertFor("01", {"Иванов Иван", "Иванов", "Иван", "ООО \"Ромашка\" <&>", "Бухгалтерия", ""}));
    testing::WritePem(dir_ / "1.pem", named);
    testing::WritePem(dir_ / "2.pem", Issue(CertFor("02", {})));  // an empty subject
    auto store = OpenStore();
    ASSERT_EQ(store->Certificates().size(), 2u);
    const StoreCertificate& full = store->Certificates()[0];
    EXPECT_EQ(full.SubjectPart(kOidCommonName), "Иванов Иван");
    EXPECT_EQ(full.SubjectPart(kOidSurname), "Иванов");
    EXPECT_EQ(full.SubjectPart(kOidGivenName), "Иван");
    EXPECT_EQ(full.SubjectPart(kOidOrganization), "ООО \"Ромашка\" <&>");
    EXPECT_EQ(full.SubjectPart(kOidOrganizationalUnit), "Бухгалтерия");
    EXPECT_EQ(full.SubjectPart(kOidCountry), "");
    EXPECT_EQ(full.IssuerPart(kOidCommonName), "Test CA");
    EXPECT_EQ(full.IssuerPart(kOidOrganization), "Korvalo Test");
    EXPECT_EQ(full.IssuerPart(kOidOrganizationalUnit), "Signing");
    EXPECT_EQ(full.IssuerPart(kOidCountry), "BY");
    EXPECT_EQ(full.IssuerPart(kOidSurname), "");
    EXPECT_EQ(full.SignatureAlgorithmOid(), "1.2.840.113549.1.1.11");
    EXPECT_EQ(full.Der(), named.Der());
    const StoreCertificate& bare = store->Certificates()[1];
    for (auto oid : {kOidCommonName, kOidSurname, kOidGivenName, kOidOrganization,
                     kOidOrganizationalUnit, kOidCountry}) {
        EXPECT_EQ(bare.SubjectPart(oid), "") << oid;
    }
    EXPECT_EQ(bare.SubjectPart("not an oid"), "");
}

TEST_F(CertStoreTest, ValidityPeriodAndTheValidNowTest) {
    const auto now = Clock::now();
    CertRecipe expired = CertFor("01");
    expired.notBefore = now - 48h;
    expired.notAfter = now - 1h;
    CertRecipe future = CertFor("02");
    future.notBefore = now + 1h;
    future.notAfter = now + 48h;
    CertRecipe current = CertFor("03");
    current.notBefore = now - 1h;
    current.notAfter = now + 1h;
    testing::WritePem(dir_ / "1.pem", Issue(expired));
    testing::WritePem(dir_ / "2.pem", Issue(future));
    testing::WritePem(dir_ / "3.pem", Issue(current));
    auto store = OpenStore();
    ASSERT_EQ(store->Certificates().size(), 3u);
    const auto& certs = store->Certificates();
    EXPECT_FALSE(certs[0].IsValidNow());
    EXPECT_EQ(certs[0].VerifyTimeValidity(now), 1);
    EXPECT_FALSE(certs[1].IsValidNow());
    EXPECT_EQ(certs[1].VerifyTimeValidity(now), -1);
    EXPECT_TRUE(certs[2].IsValidNow());
    const auto seconds = [](Clock::time_point t) { return Clock::to_time_t(t); };
    EXPECT_EQ(seconds(certs[2].NotBefore()), seconds(current.notBefore));
    EXPECT_EQ(seconds(certs[2].NotAfter()), seconds(current.notAfter));
    EXPECT_EQ(certs[2].VerifyTimeValidity(certs[2].NotAfter()), 0);
    EXPECT_EQ(certs[2].VerifyTimeValidity(certs[2].NotAfter() + 1s), 1);
}

TEST_F(CertStoreTest, LookupBySerialTextIsExactAndTakesTheFirst) {
    TestCert first = Issue(CertFor("0A0B0C0D", {"First", "", "", "", "", ""}));
    TestCert second = Issue(CertFor("0A0B0C0D", {"Second", "", "", "", "", ""}));
    testing::WritePem(dir_ / "1.pem", first);
    testing::WritePem(dir_ / "2.pem", second);
    auto store = OpenStore();
    const StoreCertificate* found = store->FindFirstBySerialText("0A0B 0C0D");
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->SubjectPart(kOidCommonName), "First");
    EXPECT_EQ(store->FindFirstBySerialText("0A0B0C0D", false), found);
    for (const char* miss : {"0a0b 0c0d", "0A0B0C0D", " 0A0B 0C0D", "0A0B  0C0D", ""})
        EXPECT_EQ(store->FindFirstBySerialText(miss), nullptr) << miss;
}

// ---- files that hold more or less than one personal certificate ---------------------------

TEST_F(CertStoreTest, ChainsInAFileListOnlyThePersonalCertificate) {
    TestCert personal = Issue(CertFor("11"));
    testing::WritePem(dir_ / "1.pem", personal, {.extraCerts = {ca_}});
    // CA first, key first: still the certificate that matches the key.
    testing::WriteBytes(dir_ / "2.pem", ca_->CertPem() + personal.KeyPem() + personal.CertPem());
    // Encrypted key: the first certificate that is not a CA.
    testing::WriteBytes(dir_ / "3.pem",
                        ca_->CertPem() + personal.CertPem() + personal.KeyPem("pw"));
    testing::WritePkcs12(dir_ / "4.p12", personal, {.extraCerts = {ca_}});
    testing::WritePkcs12(dir_ / "5.p12", personal,
                         {.password = "pw", .encryptCerts = false, .extraCerts = {ca_}});
    auto store = OpenStore();
    ASSERT_EQ(store->Certificates().size(), 5u);
    for (const auto& cert : store->Certificates())
        EXPECT_EQ(cert.SerialText(), "11") << cert.SourceFile();
}

TEST_F(CertStoreTest, BadFilesAreReportedAndSkipped) {
    TestCert good = Issue(CertFor("01"));
    TestCert other = Issue(CertFor("02"));
    testing::WriteBytes(dir_ / "a-garbage.pem", "this is not PEM at all\n");
    testing::WriteBytes(dir_ / "b-empty.pem", "");
    testing::WritePem(dir_ / "c-nokey.pem", other, {.withKey = false});
    std::string p12Bytes;
    {
        testing::WritePkcs12(dir_ / "tmp.p12", other);
        p12Bytes = testing::ReadBytes(dir_ / "tmp.p12");
        std::filesystem::remove(dir_ / "tmp.p12");
    }
    testing::WriteBytes(dir_ / "d-truncated.p12", p12Bytes.substr(0, p12Bytes.size() / 2));
    testing::WriteBytes(dir_ / "e-garbage.pfx", std::string(3000, '\x30'));
    testing::WritePkcs12(dir_ / "f-nokey.p12", other, {.withKey = false});
    std::string badPem = other.CertPem();
    badPem[badPem.size() / 2] = '!';  // damaged base64 inside the block
    testing::WriteBytes(dir_ / "g-damaged.pem", badPem + other.KeyPem());
    testing::WriteBytes(dir_ / "h-huge.pem", std::string(5 * 1024 * 1024, 'A'));
    testing::WritePem(dir_ / "z-good.pem", good);
    auto store = OpenStore();
    ASSERT_EQ(store->Certificates().size(), 1u);
    EXPECT_EQ(store->Certificates()[0].SerialText(), "01");
    std::vector<std::string> reported;
    for (const auto& problem : store->Problems()) {
        reported.push_back(problem.file.filename().string());
        EXPECT_FALSE(problem.reason.empty());
    }
    EXPECT_EQ(reported, (std::vector<std::string>{"a-garbage.pem", "b-empty.pem", "c-nokey.pem",
                                                  "d-truncated.p12", "e-garbage.pfx", "f-nokey.p12",
                                                  "g-damaged.pem", "h-huge.pem"}));
}

TEST_F(CertStoreTest, ACertificateWithoutSerialIsNotListed) {
    TestCert cert = Issue(CertFor("05"));
    const std::string der = testing::ReplaceSerialDer(cert.Der(), "");
    std::string pem = "-----BEGIN CERTIFICATE-----\r\n" + Base64EncodeLines64(der);
    pem += "-----END CERTIFICATE-----\r\n";
    testing::WriteBytes(dir_ / "noserial.pem", pem + cert.KeyPem());
    auto store = OpenStore();
    EXPECT_TRUE(store->Certificates().empty());
    ASSERT_EQ(store->Problems().size(), 1u);
}

// ---- password-protected PKCS#12 files --------------------------------------------------------

TEST_F(CertStoreTest, ProtectedPkcs12IsListedWithoutItsPassword) {
    TestCert clearCert = Issue(CertFor("21"));
    TestCert hidden = Issue(CertFor("22"));
    TestCert withCompanion = Issue(CertFor("23"));
    testing::WritePkcs12(dir_ / "1.p12", clearCert, {.password = "pw", .encryptCerts = false});
    testing::WritePkcs12(dir_ / "2.p12", hidden, {.password = "pw"});
    testing::WritePkcs12(dir_ / "3.p12", withCompanion, {.password = "pw"});
    testing::WriteBytes(dir_ / "3.crt", withCompanion.CertPem());
    testing::WritePkcs12(dir_ / "4.pfx", withCompanion, {.password = "pw"});
    testing::WriteBytes(dir_ / "4.cer", withCompanion.Der());
    testing::WritePkcs12(dir_ / "5.p12", clearCert, {.password = ""});  // empty password
    auto store = OpenStore();
    std::vector<std::string> serials;
    for (const auto& cert : store->Certificates())
        serials.push_back(cert.SerialText());
    EXPECT_EQ(serials, (std::vector<std::string>{"21", "23", "23", "21"}));
    ASSERT_EQ(store->Problems().size(), 1u);
    EXPECT_EQ(store->Problems()[0].file.filename(), "2.p12");
}

// ---- private keys -------------------------------------------------------------------------

TEST_F(CertStoreTest, KeysWithoutPasswordOpenWithoutAsking) {
    TestCert cert = Issue(CertFor("31"));
    testing::WritePem(dir_ / "1.pem", cert);
    testing::WritePkcs12(dir_ / "2.p12", cert);
    testing::WritePkcs12(dir_ / "3.p12", cert, {.password = "", .encryptCerts = true});
    auto store = OpenStore();
    ASSERT_EQ(store->Certificates().size(), 3u);
    for (const auto& c : store->Certificates()) {
        ScriptedPrompt prompt;
        KeyResult key = c.LoadPrivateKey(&prompt);
        EXPECT_EQ(key.error, 0u) << c.SourceFile() << " " << key.message;
        EXPECT_NE(key.key, nullptr);
        EXPECT_TRUE(prompt.asked.empty());
    }
}

TEST_F(CertStoreTest, ProtectedKeysAskUntilRightOrCancelled) {
    TestCert cert = Issue(CertFor("41"));
    testing::WritePem(dir_ / "1.pem", cert, {.keyPassword = "right"});
    testing::WritePkcs12(dir_ / "2.p12", cert, {.password = "right", .encryptCerts = false});
    auto store = OpenStore();
    ASSERT_EQ(store->Certificates().size(), 2u);
    for (const auto& c : store->Certificates()) {
        const std::string name = c.SourceFile().filename().string();
        {
            ScriptedPrompt prompt({"wrong", "", "right"});
            KeyResult key = c.LoadPrivateKey(&prompt);
            EXPECT_EQ(key.error, 0u) << name << " " << key.message;
            EXPECT_NE(key.key, nullptr);
            EXPECT_EQ(prompt.asked, (std::vector<std::pair<std::string, bool>>{
                                        {name, false}, {name, true}, {name, true}}));
        }
        {
            ScriptedPrompt prompt({"wrong", std::nullopt});
            KeyResult key = c.LoadPrivateKey(&prompt);
            EXPECT_EQ(key.error, kErrorCancelled) << name;
            EXPECT_EQ(key.key, nullptr);
            EXPECT_EQ(prompt.asked.size(), 2u);
        }
        KeyResult silent = c.LoadPrivateKey(nullptr);
        EXPECT_EQ(silent.error, kNteSilentContext) << name;
        EXPECT_EQ(silent.message, CryptErrorText(kNteSilentContext));
    }
}

TEST_F(CertStoreTest, KeyProblemsGivePlatformCodes) {
    TestCert cert = Issue(CertFor("51"));
    CertRecipe otherRecipe = CertFor("52");
    otherRecipe.key = KeyKind::EcP256;
    TestCert other = Issue(otherRecipe);
    // The certificate of one pair with the key of another.
    testing::WriteBytes(dir_ / "1-mismatch.pem", cert.CertPem() + other.KeyPem());
    testing::WritePem(dir_ / "2-gone.pem", cert);
    testing::WritePkcs12(dir_ / "3-companion.p12", other, {.password = "pw"});
    testing::WriteBytes(dir_ / "3-companion.crt", cert.CertPem());  // not the key's certificate
    auto store = OpenStore();
    ASSERT_EQ(store->Certificates().size(), 3u);
    std::filesystem::remove(dir_ / "2-gone.pem");
    ScriptedPrompt prompt({"pw"});
    EXPECT_EQ(store->Certificates()[0].LoadPrivateKey(&prompt).error, kCryptENoKeyProperty);
    const KeyResult gone = store->Certificates()[1].LoadPrivateKey(&prompt);
    EXPECT_EQ(gone.error, kNteBadKeyset);
    EXPECT_EQ(gone.message, "Набор ключей не существует.");
    EXPECT_EQ(store->Certificates()[2].LoadPrivateKey(&prompt).error, kCryptENoKeyProperty);
}

TEST(CryptErrorTextTest, RussianTextsForTheCodesOfThisLayer) {
    EXPECT_EQ(CryptErrorText(kNteBadAlgId), "Указан неправильный алгоритм.");
    EXPECT_EQ(CryptErrorText(kErrorCancelled), "Операция была отменена пользователем.");
    EXPECT_EQ(CryptErrorText(12345), "Неизвестная ошибка 12345");
    for (std::uint32_t code :
         {kErrorFileNotFound, kErrorPathNotFound, kErrorAccessDenied, kErrorNotEnoughMemory,
          kErrorReadFault, kErrorFileTooLarge, kNteBadKey, kNteNoMemory, kNteBadKeyset, kNteFail,
          kNteSilentContext, kCryptENoKeyProperty}) {
        EXPECT_EQ(CryptErrorText(code).find("Неизвестная"), std::string::npos) << code;
    }
}

}  // namespace
}  // namespace korvalo
