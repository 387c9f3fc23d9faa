// Tests of the owner of a PKCS#11 module and its use: keys freed before the slot list, a fresh
// list (and a fresh login) after a release, one thread at a time. Meant to run under the
// address sanitizer too (KORVALO_SANITIZE=ON).

#include "platform/tokens/token_module.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/crypto/crypt_message.h"
#include "support/softhsm_tokens.h"

namespace korvalo {
namespace {

using namespace korvalo::testing;
using namespace std::chrono_literals;

class TokenModuleTest : public ::testing::Test {
protected:
    void SetUp() override {
        TokenContents recipe;
        TokenObject rsa = RsaObject();
        TokenObject perSignature = EcObject();
        perSignature.alwaysAuthenticate = true;
        recipe.objects = {rsa, perSignature};
        tokens_.AddToken(recipe);
        std::string error;
        module_ = TokenModule::Load(SoftHsmModulePath(), error);
        ASSERT_NE(module_, nullptr) << error;
    }

    // The only token's slot of the use's list, logged in when pin is given.
    static PKCS11_SLOT* TokenSlot(TokenModule::Use& use, const char* pin) {
        std::span<PKCS11_SLOT> slots;
        unsigned long ckr = 0;
        EXPECT_TRUE(use.Slots(slots, ckr)) << ckr;
        for (PKCS11_SLOT& slot : slots) {
            if (slot.token != nullptr && slot.token->initialized) {
                if (pin != nullptr) {
                    EXPECT_EQ(PKCS11_login(&slot, 0, pin), 0);
                }
                return &slot;
            }
        }
        ADD_FAILURE() << "no token";
        return nullptr;
    }
    // The private key with that identifier, as an OpenSSL key owned by the use.
    static EVP_PKEY* Key(TokenModule::Use& use, PKCS11_SLOT* slot, char id) {
        PKCS11_KEY* keys = nullptr;
        unsigned int count = 0;
        EXPECT_EQ(PKCS11_enumerate_keys(slot->token, &keys, &count), 0);
        for (unsigned int i = 0; i < count; ++i) {
            if (keys[i].id_len == 1 && keys[i].id[0] == id)
                return use.PrivateKey(&keys[i]);
        }
        return nullptr;
    }
    static X509Ptr Cert(PKCS11_SLOT* slot, char id) {
        PKCS11_CERT* certs = nullptr;
        unsigned int count = 0;
        EXPECT_EQ(PKCS11_enumerate_certs(slot->token, &certs, &count), 0);
        for (unsigned int i = 0; i < count; ++i) {
            if (certs[i].id_len == 1 && certs[i].id[0] == id)
                return X509Ptr(X509_dup(certs[i].x509));
        }
        return nullptr;
    }
    static std::uint32_t SignWith(X509* cert, EVP_PKEY* key) {
        std::string der;
        CmsSignStage stage{};
        return DetachedCmsSigner(cert, key, EVP_sha256()).Sign("data", der, stage);
    }

    SoftHsmTokens tokens_;
    std::shared_ptr<TokenModule> module_;
};

// A PIN reader with a fixed answer (nothing: cancel).
class FixedPin : public IPinReader {
public:
    explicit FixedPin(std::optional<std::string> pin) : pin_(std::move(pin)) {}
    std::optional<std::string> ReadSignaturePin() override {
        ++asked;
        return pin_;
    }
    void PinRefused() override { ++refused; }
    int asked = 0;
    int refused = 0;

private:
    std::optional<std::string> pin_;
};

TEST_F(TokenModuleTest, AReleasedSlotListTakesItsKeysAndLoginAlongAndANewOneSignsAgain) {
    const auto use = module_->Acquire();
    PKCS11_SLOT* slot = TokenSlot(*use, "1234");
    X509Ptr cert = Cert(slot, '\x01');
    EVP_PKEY* key = Key(*use, slot, '\x01');
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(SignWith(cert.get(), key), 0u);
    EXPECT_EQ(use->Generation(), 0u);

    use->ReleaseSlots();  // the key goes first, then the list; the token is logged out
    EXPECT_EQ(use->Generation(), 1u);
    slot = TokenSlot(*use, nullptr);
    EXPECT_EQ(Key(*use, slot, '\x01'), nullptr);  // private keys hide again
    use->ReleaseSlots();

    slot = TokenSlot(*use, "1234");
    key = Key(*use, slot, '\x01');
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(SignWith(cert.get(), key), 0u);
    // The use ends holding a key: the key is freed before the list it came from.
}

TEST_F(TokenModuleTest, ACancelledPerSignaturePinLeavesTheOperationOpenUntilTheListIsReleased) {
    const auto use = module_->Acquire();
    PKCS11_SLOT* slot = TokenSlot(*use, "1234");
    X509Ptr cert = Cert(slot, '\x02');
    EVP_PKEY* key = Key(*use, slot, '\x02');
    ASSERT_NE(key, nullptr);

    FixedPin cancel(std::nullopt);
    use->SetPinReader(&cancel);
    EXPECT_NE(SignWith(cert.get(), key), 0u);
    EXPECT_EQ(cancel.asked, 1);

    FixedPin right("1234");
    use->SetPinReader(&right);
    EXPECT_NE(SignWith(cert.get(), key), 0u);  // the operation is still open on the token
    use->ReleaseSlots();
    slot = TokenSlot(*use, "1234");
    key = Key(*use, slot, '\x02');
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(SignWith(cert.get(), key), 0u);
    EXPECT_EQ(right.asked, 1);
    EXPECT_EQ(SignWith(cert.get(), key), 0u);  // asked again for the next signature
    EXPECT_EQ(right.asked, 2);
}

TEST_F(TokenModuleTest, APinTheTokenCannotTakeIsRefusedBeforeItGetsThere) {
    const auto use = module_->Acquire();
    PKCS11_SLOT* slot = TokenSlot(*use, "1234");
    X509Ptr cert = Cert(slot, '\x02');
    EVP_PKEY* key = Key(*use, slot, '\x02');
    ASSERT_NE(key, nullptr);
    FixedPin tooLong(std::string(300, '1'));
    use->SetPinReader(&tooLong);
    EXPECT_NE(SignWith(cert.get(), key), 0u);
    EXPECT_EQ(tooLong.refused, 1);
}

TEST_F(TokenModuleTest, OneThreadAtATime) {
    std::atomic<bool> held{false};
    std::atomic<bool> release{false};
    std::thread other([&] {
        const auto use = module_->Acquire();
        held = true;
        while (!release)
            std::this_thread::sleep_for(1ms);
    });
    while (!held)
        std::this_thread::sleep_for(1ms);
    EXPECT_EQ(module_->TryAcquire(20ms), nullptr);
    release = true;
    const auto use = module_->Acquire();  // waits for the other thread's use to end
    EXPECT_NE(use, nullptr);
    other.join();
}

TEST(TokenModuleLoadTest, AModuleThatCannotBeLoadedSaysWhy) {
    std::string error;
    EXPECT_EQ(TokenModule::Load("/nonexistent/module.so", error), nullptr);
    EXPECT_EQ(error, "файл модуля не найден");
    TempDir dir;
    WriteBytes(dir / "not-a-module.so", "text");
    EXPECT_EQ(TokenModule::Load((dir / "not-a-module.so").string(), error), nullptr);
    EXPECT_EQ(error, "модуль не удалось загрузить");
}

}  // namespace
}  // namespace korvalo
