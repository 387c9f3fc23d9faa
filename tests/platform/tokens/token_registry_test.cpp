// Tests of the token certificates in the store: what a SoftHSM2 token lists through the p11-kit
// proxy and through a module the settings name, the order, what is left out, and a store without
// any token module.

#include "platform/tokens/token_registry.h"

#include <gtest/gtest.h>

#include "platform/crypto/crypt_errors.h"
#include "platform/tokens/token_key.h"
#include "support/cert_fixture.h"
#include "support/recording_doubles.h"
#include "support/softhsm_tokens.h"

namespace korvalo {
namespace {

using namespace korvalo::testing;

TokenObject CertOnly(std::string file, std::string id, std::string label) {
    TokenObject object;
    object.certFile = std::move(file);
    object.id = std::move(id);
    object.label = std::move(label);
    return object;
}

class TokenRegistryTest : public ::testing::Test {
protected:
    // The token of most tests: the RSA and EC key pairs with their certificates, the CA
    // certificate and a GOST certificate without a key.
    void MakeToken(const std::string& label = "Korvalo Test") {
        TokenContents recipe;
        recipe.label = label;
        recipe.objects = {RsaObject(), EcObject(), CertOnly("ca.pem", "\x0C", "ca"),
                          CertOnly("gost.pem", "\x03", "gost")};
        tokens_.AddToken(recipe);
    }
    // The folder store with one certificate of its own.
    void MakeFolder() {
        CaAndCert pair = MakeCaAndCert(
            {.cn = "Folder CA"}, CertRecipe{.subject = {.cn = "Folder"}, .serialHex = "0F01"});
        WritePem(folder_ / "folder.pem", pair.cert);
    }
    std::vector<std::string> Texts(const CertStore& store) {
        std::vector<std::string> texts;
        for (const StoreCertificate& cert : store.Certificates())
            texts.push_back(cert.SubjectPart(kOidCommonName) + " " + cert.SerialText());
        return texts;
    }

    SoftHsmTokens tokens_;
    TempDir folder_;
    RecordingLog log_;
};

TEST_F(TokenRegistryTest, TokenCertificatesFollowTheFolderInAStableOrderWithoutAPin) {
    MakeToken();
    MakeFolder();
    TokenRegistry registry(log_);
    const auto store = CertStore::Open(folder_.path(), StoreTokens{&registry, {}});
    ASSERT_NE(store, nullptr);
    // The folder's first; then the token's by label: the EC and RSA pairs and the GOST
    // certificate (its key cannot be seen before a login); the CA certificate is no one's own.
    const std::vector<std::string> expected = {"Folder 0F01", "Картова Елена 70 C0E2",
                                               "Гостев Глеб 70 C0B3", "Токенов Антон 70 C0A1"};
    EXPECT_EQ(Texts(*store), expected);
    EXPECT_TRUE(store->Problems().empty());
    EXPECT_TRUE(log_.Lines().empty());

    const StoreCertificate& rsa = store->Certificates()[3];
    EXPECT_EQ(rsa.SubjectPart(kOidSurname), "Токенов");
    EXPECT_EQ(rsa.IssuerPart(kOidCommonName), "Korvalo Test Token CA");
    EXPECT_EQ(rsa.SerialBytes(), std::string("\xA1\xC0\x70", 3));
    EXPECT_TRUE(rsa.IsValidNow());
    EXPECT_TRUE(rsa.SourceFile().empty());
    ASSERT_NE(rsa.KeySource(), nullptr);
    EXPECT_EQ(rsa.LoadPrivateKey(nullptr).error, kNteNotSupported);

    // The same order the next time, from a registry that has the module loaded already.
    const auto again = CertStore::Open(folder_.path(), StoreTokens{&registry, {}});
    EXPECT_EQ(Texts(*again), expected);
}

TEST_F(TokenRegistryTest, TheSerialTextFindsATokenCertificate) {
    MakeToken();
    TokenRegistry registry(log_);
    const auto store = CertStore::Open(folder_.path(), StoreTokens{&registry, {}});
    const StoreCertificate* found = store->FindFirstBySerialText("70 C0E2");
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->SubjectPart(kOidGivenName), "Елена");
    EXPECT_EQ(store->FindFirstBySerialText("70c0e2", false), nullptr);  // letter case counts
}

TEST_F(TokenRegistryTest, WithoutAnyTokenModuleTheFolderStoreWorksAndOneLineIsLogged) {
    MakeToken();
    MakeFolder();
    TokenRegistry registry(log_,
                           TokenRegistry::Options{.proxyModule = "/nonexistent/p11-kit-proxy.so"});
    for (int i = 0; i < 3; ++i) {
        const auto store = CertStore::Open(folder_.path(), StoreTokens{&registry, {}});
        ASSERT_NE(store, nullptr);
        EXPECT_EQ(Texts(*store), std::vector<std::string>{"Folder 0F01"});
    }
    const std::vector<std::string> lines = log_.Messages();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0],
              "Токены и смарт-карты модуля PKCS#11 «/nonexistent/p11-kit-proxy.so» недоступны: "
              "файл модуля не найден.");
}

TEST_F(TokenRegistryTest, AModuleOfTheSettingsListsItsTokensAndAModuleNamedTwiceCountsOnce) {
    MakeToken();
    TokenRegistry registry(log_, TokenRegistry::Options{.proxyModule = ""});
    const std::vector<std::string> modules = {FaultModulePath(), " ", FaultModulePath()};
    const auto store = CertStore::Open(folder_.path(), StoreTokens{&registry, modules});
    ASSERT_NE(store, nullptr);
    EXPECT_EQ(store->Certificates().size(), 3u);
    EXPECT_EQ(registry.Module(FaultModulePath()), registry.Module(FaultModulePath()));
}

TEST_F(TokenRegistryTest, ATokenReachedThroughTwoModulesIsListedOnce) {
    MakeToken();
    TokenRegistry registry(log_);  // the proxy reaches SoftHSM, and so does the named module
    const auto store =
        CertStore::Open(folder_.path(), StoreTokens{&registry, {SoftHsmModulePath()}});
    ASSERT_NE(store, nullptr);
    EXPECT_EQ(store->Certificates().size(), 3u);
}

TEST_F(TokenRegistryTest, ACertificateWhoseKeyHidesUntilALoginIsListed) {
    TokenContents recipe;
    recipe.objects = {RsaObject()};
    recipe.objects[0].publicKey = false;  // the private key alone: not seen before a login
    tokens_.AddToken(recipe);
    TokenRegistry registry(log_);
    const auto store = CertStore::Open(folder_.path(), StoreTokens{&registry, {}});
    EXPECT_EQ(Texts(*store), std::vector<std::string>{"Токенов Антон 70 C0A1"});
}

TEST_F(TokenRegistryTest, AModuleInUseByAnotherThreadIsLeftOutOfAListingAfterAShortWait) {
    MakeToken();
    TokenRegistry registry(log_, TokenRegistry::Options{.busyWait = std::chrono::milliseconds(50)});
    const std::shared_ptr<TokenModule> proxy = registry.Module(DefaultProxyModule());
    ASSERT_NE(proxy, nullptr);
    {
        const auto held = proxy->Acquire();
        const auto store = CertStore::Open(folder_.path(), StoreTokens{&registry, {}});
        ASSERT_NE(store, nullptr);
        EXPECT_TRUE(store->Certificates().empty());
        ASSERT_EQ(store->Problems().size(), 1u);
        EXPECT_EQ(store->Problems()[0].reason,
                  "модуль занят другой операцией; его токены не показаны");
    }
    EXPECT_EQ(CertStore::Open(folder_.path(), StoreTokens{&registry, {}})->Certificates().size(),
              3u);
}

TEST(TokenFailureTest, PkcsCodesBecomeTheStoresCodesWithTheTokenNamed) {
    struct Case {
        unsigned long ckr;
        std::uint32_t code;
        const char* message;
    };
    const Case cases[] = {
        {0xA0, kScardWWrongChv, "Токен «T»: Введён неверный PIN-код."},
        {0xA4, kScardWChvBlocked,
         "Токен «T»: PIN-код заблокирован: исчерпано число попыток его ввода. Разблокируйте его "
         "средствами токена или смарт-карты."},
        {0x32, kScardWRemovedCard,
         "Токен «T»: Смарт-карта или токен извлечены из считывателя. Вставьте их и повторите "
         "подпись."},
        {0xE0, kScardWRemovedCard, nullptr},
        {0xB3, kScardWRemovedCard, nullptr},
        {0x50, kErrorCancelled, "Операция была отменена пользователем."},
        {0x05, kNteFail, "Токен «T»: ошибка PKCS#11 5."},
    };
    for (const Case& c : cases) {
        const KeyStatus status = TokenFailure(c.ckr, "T");
        EXPECT_EQ(status.error, c.code) << c.ckr;
        if (c.message != nullptr) {
            EXPECT_EQ(status.message, c.message) << c.ckr;
        }
    }
}

}  // namespace
}  // namespace korvalo
