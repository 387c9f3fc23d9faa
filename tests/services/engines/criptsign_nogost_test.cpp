// TSign in a process without the GOST engine: GOST digests are unknown algorithms.

#include <gtest/gtest.h>

#include <cstdlib>

#include "core/base64.h"
#include "platform/crypto/crypt_message.h"
#include "services/engines/criptsign.h"
#include "services/engines/criptsign_test_support.h"

namespace korvalo {
namespace {

using namespace korvalo::testing;
using namespace korvalo::criptsign_test;

// Before anything in this process touches OpenSSL.
const bool kGostSwitchedOff = [] { return setenv("KORVALO_GOST_ENGINE", "none", 1) == 0; }();

class TSignWithoutGostTest : public SigningWorldSuite</*WithGost=*/true> {};

TEST_F(TSignWithoutGostTest, GostDigestsAreUnknownAlgorithms) {
    ASSERT_TRUE(kGostSwitchedOff);
    EXPECT_FALSE(EnsureGostEngine());
    EXPECT_EQ(FindDigestByOid("1.2.643.7.1.1.2.2"), nullptr);
    EXPECT_EQ(FindDigestByOid("1.2.643.2.2.9"), nullptr);
    EXPECT_NE(FindDigestByOid(kSha256), nullptr);
    ASSERT_TRUE(world_->gostReady) << world_->gostError;
    WriteBytes(work_ / "doc.txt", "data");
    // The GOST certificate is still listed; an RU issuer with RSA asks for GOST R 34.11-94.
    for (const char* serial : {"6057", "5255", "5257"}) {
        log_.ClearInfo();
        TSign sign(TSignContext{log_, {}, world_->store.path(), nullptr, nullptr},
                   (work_ / "doc.txt").string(), serial);
        EXPECT_FALSE(sign.Sign()) << serial;
        EXPECT_EQ(sign.message(), "Указан неправильный алгоритм.") << serial;
        ASSERT_EQ(log_.Lines().size(), 2u);
        EXPECT_TRUE(IsStamped(log_.Lines()[1], " Указан неправильный алгоритм."));
    }
}

TEST_F(TSignWithoutGostTest, OtherDigestsStillSign) {
    WriteBytes(work_ / "doc.txt", "data");
    SigningOptions options;
    options.hashAlgOID = kSha256;
    TSign sign(TSignContext{log_, options, world_->store.path(), nullptr, nullptr},
               (work_ / "doc.txt").string(), "5255");
    ASSERT_TRUE(sign.Sign()) << sign.message();
    ExpectGoodSignature(Base64Decode(sign.Signature()), "data", std::nullopt, kSha256);
}

}  // namespace
}  // namespace korvalo
