// Tests of the stand-in libAvCryptMail.so through the binding: handle discipline, buffer
// rules, parameter checks, error texts and its test controls.

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "attr_cert.h"
#include "core/text.h"
#include "services/engines/avcryptmail.h"
#include "support/cert_fixture.h"

namespace korvalo {
namespace {

namespace fs = std::filesystem;
using namespace korvalo::testing;

constexpr AvCmResult kStoreNotOpened = 0xE82A0110u;
constexpr AvCmResult kConnectionWithoutKey = 0xE82A0115u;
constexpr AvCmResult kMessageState = 0xE82A0121u;
constexpr AvCmResult kAttrCertOtherHolder = 0xE82A0123u;
constexpr AvCmResult kNotAvailable = 0xE82A0130u;

const uint32_t kPersonal = AVCM_LOGIN_MODE_PERSONAL;
const uint32_t kStoreKind = AVCM_STORE_KIND_PERSONAL;

class StandInTest : public ::testing::Test {
protected:
    void SetUp() override {
        store_ = temp_ / "store";
        fs::create_directories(store_);
        setenv("KORVALO_CERT_STORE", store_.c_str(), 1);
        setenv("AVCRYPTMAIL_TRACE", (temp_ / "trace.txt").c_str(), 1);
        unsetenv("AVCRYPTMAIL_FAIL");
        pair_ = MakeCaAndCert({.cn = "Stand-in CA"},
                              {.subject = {.cn = "Holder"}, .serialHex = "1234"});
        other_ = IssueCert(pair_.ca, {.subject = {.cn = "Other"}, .serialHex = "5678"});
        WritePem(store_ / "holder.pem", pair_.cert);
        WritePem(store_ / "other.pem", other_);
        lib_ = AvCryptMailLibrary::Open(KORVALO_STANDIN_FILE);
        ASSERT_EQ(lib_->Version(), "4.1.0.0");
    }
    void TearDown() override {
        if (lib_)
            (void)lib_->AvCmInit(AVCM_INIT_END);  // ends what a test left open, if anything
        for (const char* name : {"KORVALO_CERT_STORE", "AVCRYPTMAIL_TRACE", "AVCRYPTMAIL_FAIL"})
            unsetenv(name);
    }

    // The last line of the trace.
    std::string LastTraceLine() const {
        std::ifstream in(temp_ / "trace.txt");
        std::string line, last;
        while (std::getline(in, line))
            last = line;
        return last;
    }

    AvCmHandle StoreLogin() {
        const AvCmLoginParam login[] = {{AVCM_PARAM_LOGIN_MODE, &kPersonal}};
        AvCmHandle connection = nullptr;
        EXPECT_EQ(lib_->AvCmLogin(1, login, &connection, AVCM_LOGIN_STORE_ONLY), AVCM_OK);
        return connection;
    }

    AvCmHandle FindCertificate(AvCmHandle connection, const std::string& serial) {
        const AvCmFindParam search[] = {{AVCM_PARAM_STORE_KIND, 0, &kStoreKind},
                                        {AVCM_PARAM_SERIAL, 0, serial.c_str()}};
        AvCmHandle enumeration = nullptr;
        AvCmHandle certificate = nullptr;
        EXPECT_EQ(
            lib_->AvCmOpenCertEnum(connection, 2, search, &enumeration, AVCM_ENUM_CERTIFICATES),
            AVCM_OK);
        EXPECT_EQ(lib_->AvCmEnumGet(enumeration, &certificate, AVCM_ENUM_FIRST), AVCM_OK);
        EXPECT_EQ(lib_->AvCmCloseHandle(enumeration, 0), AVCM_OK);
        return certificate;
    }

    // A connection bound to the key of the certificate with that serial.
    AvCmHandle KeyLogin(const std::string& serial) {
        AvCmHandle store = StoreLogin();
        AvCmHandle certificate = FindCertificate(store, serial);
        char keyId[64] = {};
        uint32_t length = sizeof keyId - 1;
        EXPECT_EQ(lib_->AvCmGetCertAttr(certificate, AVCM_CERT_ATTR_KEY_ID, 0, keyId, &length, 0),
                  AVCM_OK);
        const AvCmLoginParam login[] = {{AVCM_PARAM_LOGIN_MODE, &kPersonal},
                                        {AVCM_PARAM_KEY_ID, keyId}};
        AvCmHandle connection = nullptr;
        EXPECT_EQ(lib_->AvCmLogin(2, login, &connection, AVCM_LOGIN_WITH_KEY), AVCM_OK);
        EXPECT_EQ(lib_->AvCmLogout(store, 0), AVCM_OK);
        return connection;
    }

    TempDir temp_;
    fs::path store_;
    CaAndCert pair_;
    TestCert other_;
    std::shared_ptr<const AvCryptMailLibrary> lib_;
};

TEST_F(StandInTest, CallsBeforeInitAreRefused) {
    const AvCmLoginParam login[] = {{AVCM_PARAM_LOGIN_MODE, &kPersonal}};
    AvCmHandle connection = nullptr;
    EXPECT_EQ(lib_->AvCmLogin(1, login, &connection, AVCM_LOGIN_STORE_ONLY),
              AVCM_E_NOT_INITIALIZED);
    EXPECT_EQ(connection, nullptr);
}

TEST_F(StandInTest, HandlesBelongToTheirConnection) {
    ASSERT_EQ(lib_->AvCmInit(AVCM_INIT_START), AVCM_OK);
    AvCmHandle connection = StoreLogin();
    AvCmHandle certificate = FindCertificate(connection, "1234");
    ASSERT_NE(certificate, nullptr);
    AvCmHandle copy = nullptr;
    ASSERT_EQ(lib_->AvCmDuplicateHandle(certificate, connection, &copy, 0), AVCM_OK);
    EXPECT_EQ(lib_->AvCmCloseHandle(copy, 0), AVCM_OK);
    EXPECT_EQ(lib_->AvCmCloseHandle(copy, 0), AVCM_E_INVALID_HANDLE);        // closed twice
    EXPECT_EQ(lib_->AvCmCloseHandle(connection, 0), AVCM_E_INVALID_HANDLE);  // needs logout
    EXPECT_EQ(lib_->AvCmLogout(connection, 0), AVCM_OK);
    EXPECT_EQ(lib_->AvCmCloseHandle(certificate, 0), AVCM_E_INVALID_HANDLE);  // went with it
    EXPECT_EQ(lib_->AvCmLogout(connection, 0), AVCM_E_INVALID_HANDLE);
    ASSERT_EQ(lib_->AvCmInit(AVCM_INIT_END), AVCM_OK);
    EXPECT_EQ(LastTraceLine(), "AvCmInit(2) = 0 -> open=0");

    // The end of a run reports and releases what is still open.
    ASSERT_EQ(lib_->AvCmInit(AVCM_INIT_START), AVCM_OK);
    connection = StoreLogin();
    certificate = FindCertificate(connection, "5678");
    ASSERT_EQ(lib_->AvCmInit(AVCM_INIT_END), AVCM_OK);
    EXPECT_EQ(LastTraceLine(), "AvCmInit(2) = 0 -> open=2 (C1,K1)");
    ASSERT_EQ(lib_->AvCmInit(AVCM_INIT_START), AVCM_OK);
    EXPECT_EQ(lib_->AvCmLogout(connection, 0), AVCM_E_INVALID_HANDLE);
}

TEST_F(StandInTest, OutputBuffersFollowTheSizeRule) {
    ASSERT_EQ(lib_->AvCmInit(AVCM_INIT_START), AVCM_OK);
    AvCmHandle certificate = FindCertificate(StoreLogin(), "1234");
    uint32_t length = 0;
    ASSERT_EQ(lib_->AvCmGetCertAttr(certificate, AVCM_PARAM_SERIAL, 0, nullptr, &length, 0),
              AVCM_OK);
    EXPECT_EQ(length, 5u);  // "1234" and its zero
    char small[4];
    uint32_t smallLength = sizeof small;
    EXPECT_EQ(lib_->AvCmGetCertAttr(certificate, AVCM_PARAM_SERIAL, 0, small, &smallLength, 0),
              AVCM_E_MORE_DATA);
    EXPECT_EQ(smallLength, 5u);
    char text[5];
    uint32_t textLength = sizeof text;
    ASSERT_EQ(lib_->AvCmGetCertAttr(certificate, AVCM_PARAM_SERIAL, 0, text, &textLength, 0),
              AVCM_OK);
    EXPECT_STREQ(text, "1234");
    EXPECT_EQ(lib_->AvCmGetCertAttr(certificate, 0x7777, 0, nullptr, &length, 0),
              AVCM_E_INVALID_PARAMETER);

    // Error texts: 8-bit text in code page 1251 with its zero; none for foreign codes.
    const auto getErrorInfo = lib_->Entries().AvCmGetErrorInfo;
    ASSERT_EQ(getErrorInfo(nullptr, kMessageState, 1, nullptr, &length, 0), AVCM_OK);
    std::string bytes(length, '\0');
    ASSERT_EQ(getErrorInfo(nullptr, kMessageState, 1, bytes.data(), &length, 0), AVCM_OK);
    EXPECT_EQ(bytes, ToCp1251("Недопустимое состояние сообщения") + '\0');
    EXPECT_EQ(lib_->ErrorText(nullptr, kMessageState), "Недопустимое состояние сообщения");
    EXPECT_EQ(getErrorInfo(nullptr, AVCM_E_NOT_SUPPORTED, 1, nullptr, &length, 0),
              AVCM_E_INVALID_PARAMETER);
    EXPECT_EQ(lib_->ErrorText(nullptr, 7), "AvError: 7");
}

TEST_F(StandInTest, RefusesWrongParameters) {
    ASSERT_EQ(lib_->AvCmInit(AVCM_INIT_START), AVCM_OK);
    AvCmHandle connection = nullptr;
    const uint32_t otherMode = 0x200;
    const AvCmLoginParam badMode[] = {{AVCM_PARAM_LOGIN_MODE, &otherMode}};
    EXPECT_EQ(lib_->AvCmLogin(1, badMode, &connection, AVCM_LOGIN_STORE_ONLY),
              AVCM_E_INVALID_PARAMETER);
    const AvCmLoginParam store[] = {{AVCM_PARAM_LOGIN_MODE, &kPersonal}};
    EXPECT_EQ(lib_->AvCmLogin(1, store, &connection, AVCM_LOGIN_WITH_KEY),  // no key named
              AVCM_E_INVALID_PARAMETER);
    const AvCmLoginParam unknownKey[] = {{AVCM_PARAM_LOGIN_MODE, &kPersonal},
                                         {AVCM_PARAM_KEY_ID, "00"}};
    EXPECT_EQ(lib_->AvCmLogin(2, unknownKey, &connection, AVCM_LOGIN_WITH_KEY), 0xE82A0111u);

    connection = StoreLogin();
    const AvCmFindParam reserved[] = {{AVCM_PARAM_STORE_KIND, 1, &kStoreKind}};
    AvCmHandle enumeration = nullptr;
    EXPECT_EQ(lib_->AvCmOpenCertEnum(connection, 1, reserved, &enumeration, 0x8000),
              AVCM_E_INVALID_PARAMETER);
    const AvCmFindParam all[] = {{AVCM_PARAM_STORE_KIND, 0, &kStoreKind}};
    ASSERT_EQ(lib_->AvCmOpenCertEnum(connection, 1, all, &enumeration, 0x8000), AVCM_OK);
    AvCmHandle item = nullptr;
    EXPECT_EQ(lib_->AvCmEnumGet(enumeration, &item, 0x1), AVCM_E_INVALID_PARAMETER);
    // Both certificates in store order, then the end.
    ASSERT_EQ(lib_->AvCmEnumGet(enumeration, &item, AVCM_ENUM_FIRST), AVCM_OK);
    ASSERT_EQ(lib_->AvCmEnumGet(enumeration, &item, AVCM_ENUM_NEXT), AVCM_OK);
    EXPECT_EQ(lib_->AvCmEnumGet(enumeration, &item, AVCM_ENUM_NEXT), AVCM_E_NO_MORE_ITEMS);

    // A store login holds no key: no message.
    AvCmHandle message = nullptr;
    EXPECT_EQ(lib_->AvCmOpenMsg(connection, "x", 1, &message, AVCM_MSG_DETACHED_SIGN),
              kConnectionWithoutKey);
}

TEST_F(StandInTest, MessagesKeepTheirOrder) {
    ASSERT_EQ(lib_->AvCmInit(AVCM_INIT_START), AVCM_OK);
    AvCmHandle connection = KeyLogin("1234");
    ASSERT_NE(connection, nullptr);
    AvCmHandle message = nullptr;
    ASSERT_EQ(lib_->AvCmOpenMsg(connection, "x", 1, &message, AVCM_MSG_DETACHED_SIGN), AVCM_OK);
    uint32_t length = 0;
    EXPECT_EQ(lib_->AvCmGetMsg(message, nullptr, &length, AVCM_MSG_ENCODING_DER), kMessageState);
    // Every signature carries its signing time.
    EXPECT_EQ(lib_->AvCmMsgSign(message, 0x100000), AVCM_E_INVALID_PARAMETER);
    ASSERT_EQ(lib_->AvCmMsgSign(message, AVCM_MSG_SIGN_DEFAULT), AVCM_OK);
    EXPECT_EQ(lib_->AvCmMsgSign(message, AVCM_MSG_SIGN_DEFAULT), kMessageState);
    EXPECT_EQ(lib_->AvCmGetMsg(message, nullptr, &length, 0x1000), AVCM_E_INVALID_PARAMETER);
    ASSERT_EQ(lib_->AvCmGetMsg(message, nullptr, &length, AVCM_MSG_ENCODING_DER), AVCM_OK);
    EXPECT_GT(length, 500u);
}

TEST_F(StandInTest, AttributeCertificateOfAnotherHolderIsRefused) {
    // An attribute certificate kept beside "other.pem", held by that certificate.
    avcm::AttributeCertificateRequest request;
    request.holder = other_.cert.get();
    request.issuer = pair_.ca.cert.get();
    request.issuerKey = pair_.ca.key.get();
    request.notBefore = Clock::now() - std::chrono::hours(1);
    request.notAfter = Clock::now() + std::chrono::hours(1);
    const auto der = avcm::MakeAttributeCertificate(request);
    ASSERT_TRUE(der);
    ASSERT_TRUE(avcm::AttributeCertificate::Parse(*der));
    fs::create_directories(store_ / "other.pem.attr");
    WriteBytes(store_ / "other.pem.attr" / "role.der", *der);
    WriteBytes(store_ / "other.pem.attr" / "broken.der", "not DER");

    ASSERT_EQ(lib_->AvCmInit(AVCM_INIT_START), AVCM_OK);
    AvCmHandle connection = KeyLogin("1234");
    AvCmHandle otherCert = FindCertificate(connection, "5678");
    const AvCmFindParam search[] = {{AVCM_PARAM_ATTR_CERTS_OF, 0, &otherCert}};
    AvCmHandle enumeration = nullptr;
    ASSERT_EQ(lib_->AvCmOpenCertEnum(connection, 1, search, &enumeration, 0), AVCM_OK);
    EXPECT_EQ(LastTraceLine(), "# skipped other.pem.attr/broken.der: not an attribute certificate");
    AvCmHandle attrCert = nullptr;
    ASSERT_EQ(lib_->AvCmEnumGet(enumeration, &attrCert, AVCM_ENUM_FIRST), AVCM_OK);
    AvCmHandle message = nullptr;
    ASSERT_EQ(lib_->AvCmOpenMsg(connection, "x", 1, &message, AVCM_MSG_DETACHED_SIGN), AVCM_OK);
    EXPECT_EQ(lib_->AvCmMsgSetAttribute(message, AVCM_MSG_ATTR_ATTR_CERT, &attrCert, 0, 0, 0),
              kAttrCertOtherHolder);
    EXPECT_EQ(lib_->AvCmMsgSetAttribute(message, AVCM_MSG_ATTR_ATTR_CERT, &message, 0, 0, 0),
              AVCM_E_INVALID_HANDLE);
}

TEST_F(StandInTest, MissingStoreFailsTheLogin) {
    // A folder below a file: a store that can never be made.
    std::ofstream(temp_ / "a-file") << "x";
    setenv("KORVALO_CERT_STORE", (temp_ / "a-file" / "MY").c_str(), 1);
    ASSERT_EQ(lib_->AvCmInit(AVCM_INIT_START), AVCM_OK);
    const AvCmLoginParam login[] = {{AVCM_PARAM_LOGIN_MODE, &kPersonal}};
    AvCmHandle connection = nullptr;
    EXPECT_EQ(lib_->AvCmLogin(1, login, &connection, AVCM_LOGIN_STORE_ONLY), kStoreNotOpened);
    EXPECT_EQ(lib_->ErrorText(connection, kStoreNotOpened),
              "Не удалось открыть хранилище сертификатов");
}

TEST_F(StandInTest, InjectedFailuresCountFromTheStartOfARun) {
    setenv("AVCRYPTMAIL_FAIL", "AvCmCloseHandle:0x1234:2,bad rule,AvCmLogout:7", 1);
    for (int run = 0; run < 2; ++run) {
        ASSERT_EQ(lib_->AvCmInit(AVCM_INIT_START), AVCM_OK);
        AvCmHandle connection = StoreLogin();
        AvCmHandle a = FindCertificate(connection, "1234");  // the first close: enumeration
        EXPECT_EQ(lib_->AvCmCloseHandle(a, 0), 0x1234u);
        EXPECT_EQ(LastTraceLine(), "AvCmCloseHandle(K1, flags=0x0) = 0x1234 (injected)");
        EXPECT_EQ(lib_->AvCmCloseHandle(a, 0), AVCM_OK);  // not the second one any more
        EXPECT_EQ(lib_->AvCmLogout(connection, 0), 7u);
        EXPECT_EQ(lib_->AvCmLogout(connection, 0), 7u);
        ASSERT_EQ(lib_->AvCmInit(AVCM_INIT_END), AVCM_OK);
    }
}

TEST_F(StandInTest, FurtherEntryPointsAreExportedButNotOffered) {
    const AvCmEntryPoints& e = lib_->Entries();
    uint32_t length = 0;
    EXPECT_EQ(e.AvCmCheckCrlDP(nullptr, 0), kNotAvailable);
    EXPECT_EQ(e.AvCmMsgOCSPGetResponse(nullptr, 0, nullptr, &length, 0), kNotAvailable);
    EXPECT_EQ(e.AvCmCreateScep(nullptr, nullptr, 0), kNotAvailable);
    EXPECT_EQ(e.AvCmTlsGet(nullptr, "/", nullptr, &length, 0), kNotAvailable);
    EXPECT_EQ(lib_->ErrorText(nullptr, kNotAvailable),
              "Функция недоступна в этой версии библиотеки");
    EXPECT_EQ(e.AvCmDebugLog(3, "a note"), AVCM_OK);
    EXPECT_EQ(LastTraceLine(), "AvCmDebugLog(3, \"a note\") = 0");
}

TEST_F(StandInTest, UnloadsCompletely) {
    const std::string path = lib_->Path();
    lib_.reset();
    void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    EXPECT_EQ(module, nullptr);
    if (module != nullptr)
        dlclose(module);
}

}  // namespace
}  // namespace korvalo
