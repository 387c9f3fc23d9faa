#pragma once
// What the TSign test programs share: a store with certificates under several issuers, an
// Avest signer double and checks of signatures and log lines.

#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/log_sink.h"
#include "services/engines/criptsign.h"
#include "support/cert_fixture.h"
#include "support/recording_doubles.h"

namespace korvalo::criptsign_test {

using testing::CertRecipe;
using testing::NameParts;
using testing::RecordingLog;
using testing::TempDir;
using testing::TestCert;

inline constexpr char kSha1[] = "1.3.14.3.2.26";
inline constexpr char kSha256[] = "2.16.840.1.101.3.4.2.1";
inline constexpr char kSha384[] = "2.16.840.1.101.3.4.2.2";
inline constexpr char kSha512[] = "2.16.840.1.101.3.4.2.3";

// contentType, messageDigest and signingTime: nothing else.
inline const std::vector<std::string> kExpectedAttributes = {
    "1.2.840.113549.1.9.3", "1.2.840.113549.1.9.4", "1.2.840.113549.1.9.5"};

// An Avest signer that records its calls and answers as told.
class FakeAvest : public IAvestSigner {
public:
    bool SignBuffer(const StoreCertificate&, const std::string& serialText, std::string_view data,
                    std::string& signature, std::string& message) override {
        calls.push_back("buffer " + serialText + " " + std::string(data));
        if (!throwText.empty())
            throw std::runtime_error(throwText);
        if (!result) {
            message = this->message;
            return false;
        }
        signature = "AVEST\r\n";
        return true;
    }
    bool SignJobs(const StoreCertificate&, const std::string& serialText, TJobList& jobs,
                  std::string& message) override {
        calls.push_back("jobs " + serialText + " " + std::to_string(jobs.size()));
        if (!throwText.empty())
            throw std::runtime_error(throwText);
        for (TRecordSign& job : jobs)
            job.sign = "AVEST " + job.pData;
        message = this->message;
        return result;
    }
    bool result = true;
    std::string message;
    std::string throwText;
    std::vector<std::string> calls;
};

// The store of the TSign tests (serial texts in brackets):
//   01-first.pem [0A0B 0C0D] and 02-second.pem [0A0B 0C0D], RSA, issuer country DE
//   03-ec.pem [0E0C] ECDSA P-256, DE;  04-nocountry.pem [4E], issuer without country
//   05-ru.pem [5255] RU, 06-ru-lower.pem [5256] "ru", 07-rus.pem [5257] "RUS",
//   08-by.pem [4259] BY (all RSA);  09-protected.p12 [0909] DE, password "right"
//   10-gost.pem [6057] GOST R 34.10-2012 under a GOST CA with country RU (when made)
struct SigningWorld {
    explicit SigningWorld(bool withGost) {
        auto makeCa = [&](const std::string& name, const std::string& country,
                          const std::string& serial) {
            CertRecipe wanted;
            wanted.subject = NameParts{name, "", "", "Korvalo Test", "", country};
            wanted.serialHex = serial;
            wanted.notBefore -= std::chrono::hours(24 * 30);
            wanted.notAfter += std::chrono::hours(24 * 3650);
            TestCert ca = testing::MakeCa(wanted);
            const std::filesystem::path file = cas / (name + ".pem");
            testing::WriteBytes(file, ca.CertPem());
            return std::make_pair(std::move(ca), file);
        };
        auto [de, deFile] = makeCa("CA DE", "DE", "C1");
        auto [none, noneFile] = makeCa("CA None", "", "C2");
        auto [ru, ruFile] = makeCa("CA RU", "RU", "C3");
        auto [ruLower, ruLowerFile] = makeCa("CA ru", "ru", "C4");
        auto [rus, rusFile] = makeCa("CA RUS", "RUS", "C5");
        auto [by, byFile] = makeCa("CA BY", "BY", "C6");
        caDe = deFile;
        auto personal = [&](const TestCert& ca, const std::string& file, const std::string& serial,
                            const std::string& cn, testing::KeyKind kind) {
            CertRecipe wanted;
            wanted.subject = NameParts{cn, "Фамилия", "Имя", "", "", ""};
            wanted.serialHex = serial;
            wanted.key = kind;
            TestCert cert = testing::IssueCert(ca, wanted);
            if (file.ends_with(".p12")) {
                testing::WritePkcs12(store / file, cert,
                                     {.password = "right", .encryptCerts = false});
            } else {
                testing::WritePem(store / file, cert);
            }
        };
        using testing::KeyKind;
        personal(de, "01-first.pem", "0A0B0C0D", "First", KeyKind::Rsa2048);
        personal(de, "02-second.pem", "0A0B0C0D", "Second", KeyKind::Rsa2048);
        personal(de, "03-ec.pem", "0E0C", "Elliptic", KeyKind::EcP256);
        personal(none, "04-nocountry.pem", "4E", "No Country", KeyKind::Rsa2048);
        personal(ru, "05-ru.pem", "5255", "Russia", KeyKind::Rsa2048);
        personal(ruLower, "06-ru-lower.pem", "5256", "Russia lower", KeyKind::Rsa2048);
        personal(rus, "07-rus.pem", "5257", "Russia RUS", KeyKind::Rsa2048);
        personal(by, "08-by.pem", "4259", "Belarus", KeyKind::Rsa2048);
        personal(de, "09-protected.p12", "0909", "Protected", KeyKind::Rsa2048);
        if (withGost) {
            CertRecipe wanted;
            wanted.subject = NameParts{"ГОСТ Подписант", "Подписант", "ГОСТ", "", "", ""};
            wanted.serialHex = "6057";
            gostReady = testing::MakeGostCaAndCert(
                cas.path(), NameParts{"CA GOST", "", "", "Korvalo Test", "", "RU"}, wanted, gost,
                gostError);
            if (gostReady) {
                testing::WriteBytes(store / "10-gost.pem",
                                    testing::ReadBytes(gost.cert) + testing::ReadBytes(gost.key));
            }
        }
    }
    TempDir store;
    TempDir cas;
    std::filesystem::path caDe;
    testing::GostFiles gost;
    bool gostReady = false;
    std::string gostError;
};

// Tests over one signing world, made once for the suite (with the GOST certificate when
// WithGost), with a recording log and a work folder of each test's own.
template <bool WithGost>
class SigningWorldSuite : public ::testing::Test {
protected:
    static void SetUpTestSuite() { world_ = std::make_unique<SigningWorld>(WithGost); }
    static void TearDownTestSuite() { world_.reset(); }

    static inline std::unique_ptr<SigningWorld> world_;
    RecordingLog log_;
    TempDir work_;
};

// hh:nn:ss followed by exactly suffix.
inline bool IsStamped(const std::string& line, const std::string& suffix) {
    static const std::regex stamp("^[0-2][0-9]:[0-5][0-9]:[0-5][0-9]");
    return line.size() == 8 + suffix.size() && std::regex_search(line, stamp) &&
           line.compare(8, std::string::npos, suffix) == 0;
}

// Base64 in lines of 64 characters, each ended by CR LF.
inline void ExpectBase64Lines64(const std::string& text) {
    ASSERT_FALSE(text.empty());
    ASSERT_TRUE(text.ends_with("\r\n"));
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::size_t end = text.find("\r\n", pos);
        ASSERT_NE(end, std::string::npos);
        const std::size_t len = end - pos;
        if (end + 2 < text.size())
            EXPECT_EQ(len, 64u);
        else
            EXPECT_LE(len, 64u);
        pos = end + 2;
    }
}

// Verifies with the openssl command (chain to caFile, or -noverify) and checks the shape:
// detached, the signer's certificate only, the digest, the three signed attributes.
inline void ExpectGoodSignature(const std::string& der, const std::string& content,
                                const std::optional<std::filesystem::path>& caFile,
                                const std::string& digestOid) {
    const testing::CommandResult verified = testing::VerifyDetachedCms(der, content, caFile);
    EXPECT_EQ(verified.exitCode, 0) << verified.output;
    const testing::CmsDump dump = testing::PrintCms(der);
    EXPECT_TRUE(dump.detached);
    EXPECT_EQ(dump.certificateCount, 1);
    EXPECT_EQ(dump.signerDigests, std::vector<std::string>{digestOid});
    EXPECT_EQ(dump.digestAlgorithms, std::vector<std::string>{digestOid});
    std::vector<std::string> attributes = dump.signedAttributes;
    std::sort(attributes.begin(), attributes.end());
    EXPECT_EQ(attributes, kExpectedAttributes);
}

inline std::size_t OpenDescriptorCount() {
    std::size_t n = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (readdir(dir) != nullptr)
            ++n;
        closedir(dir);
    }
    return n;
}

inline std::string WriteEmpty(const std::filesystem::path& file) {
    testing::WriteBytes(file, "");
    return file.string();
}

}  // namespace korvalo::criptsign_test
