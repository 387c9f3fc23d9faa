// Tests of the detached CMS signer: a signature made from the content's digest is the very
// message the signer makes from the content, and digests made piece by piece.

#include "platform/crypto/crypt_message.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "platform/crypto/crypt_errors.h"
#include "support/cert_fixture.h"

namespace korvalo {
namespace {

using testing::CertRecipe;
using testing::KeyKind;
using testing::NameParts;
using Clock = std::chrono::system_clock;

std::string BinaryContent(std::size_t n) {
    std::string content;
    for (std::size_t i = 0; i < n; ++i)
        content.push_back(static_cast<char>(i * 7 % 256));  // with CR, LF and NUL bytes
    return content;
}

std::string DigestOf(const EVP_MD* md, std::string_view content) {
    std::string digest;
    EXPECT_EQ(ContentDigest::Of(md, content, digest), 0u);
    return digest;
}

class DetachedCmsSignerTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        CertRecipe wanted;
        wanted.subject = NameParts{"Signer", "", "", "", "", "DE"};
        rsa_ = new testing::CaAndCert(
            testing::MakeCaAndCert(NameParts{"CA", "", "", "Korvalo Test", "", "DE"}, wanted));
        wanted.key = KeyKind::EcP256;
        ec_ = new testing::CaAndCert(
            testing::MakeCaAndCert(NameParts{"CA", "", "", "Korvalo Test", "", "DE"}, wanted));
    }
    static void TearDownTestSuite() {
        delete rsa_;
        delete ec_;
    }
    static inline testing::CaAndCert* rsa_ = nullptr;
    static inline testing::CaAndCert* ec_ = nullptr;
};

// RSA signatures are deterministic: the message from the digest must equal, byte for byte, the
// one OpenSSL's own path makes from the content, for every digest, content and signing time
// (UTCTime and, after 2049, GeneralizedTime).
TEST_F(DetachedCmsSignerTest, FromTheDigestTheSameBytesAsFromTheContent) {
    const Clock::time_point times[] = {Clock::from_time_t(1709629628),   // 2024-03-05
                                       Clock::from_time_t(2556143999)};  // 2050-12-31
    const EVP_MD* digests[] = {EVP_sha1(), EVP_sha256(), EVP_sha512()};
    const std::string contents[] = {"", "data", BinaryContent(70000)};
    for (const EVP_MD* md : digests) {
        const DetachedCmsSigner signer(rsa_->cert.cert.get(), rsa_->cert.key.get(), md);
        for (const std::string& content : contents) {
            for (const Clock::time_point when : times) {
                std::string whole;
                std::string streamed;
                CmsSignStage stage = CmsSignStage::Encoding;
                ASSERT_EQ(signer.Sign(content, whole, stage, when), 0u);
                ASSERT_EQ(signer.SignDigest(DigestOf(md, content), streamed, stage, when), 0u);
                EXPECT_EQ(streamed, whole) << EVP_MD_get0_name(md) << ", " << content.size();
            }
        }
    }
}

TEST_F(DetachedCmsSignerTest, AnEcdsaSignatureFromTheDigestVerifies) {
    const std::string content = BinaryContent(5000);
    const DetachedCmsSigner signer(ec_->cert.cert.get(), ec_->cert.key.get(), EVP_sha256());
    std::string der;
    CmsSignStage stage = CmsSignStage::Encoding;
    ASSERT_EQ(signer.SignDigest(DigestOf(EVP_sha256(), content), der, stage), 0u);
    const testing::TempDir dir;
    testing::WriteBytes(dir / "ca.pem", ec_->ca.CertPem());
    const testing::CommandResult verified =
        testing::VerifyDetachedCms(der, content, dir / "ca.pem");
    EXPECT_EQ(verified.exitCode, 0) << verified.output;
}

TEST_F(DetachedCmsSignerTest, ADigestOfAnotherLengthIsRefused) {
    const DetachedCmsSigner signer(rsa_->cert.cert.get(), rsa_->cert.key.get(), EVP_sha256());
    std::string der;
    CmsSignStage stage = CmsSignStage::Encoding;
    EXPECT_EQ(signer.SignDigest(DigestOf(EVP_sha1(), "data"), der, stage), kNteBadHash);
    EXPECT_EQ(stage, CmsSignStage::Signing);
    EXPECT_TRUE(der.empty());
}

TEST(ContentDigestTest, PiecesGiveTheDigestOfTheWhole) {
    const std::string content = BinaryContent(100000);
    ContentDigest pieces(EVP_sha256());
    for (std::size_t at = 0; at < content.size(); at += 9999)
        ASSERT_EQ(pieces.Add(std::string_view(content).substr(at, 9999)), 0u);
    std::string digest;
    ASSERT_EQ(pieces.Finish(digest), 0u);
    EXPECT_EQ(digest, DigestOf(EVP_sha256(), content));
    EXPECT_EQ(digest.size(), 32u);
    EXPECT_NE(pieces.Finish(digest), 0u);  // spent
}

}  // namespace
}  // namespace korvalo
