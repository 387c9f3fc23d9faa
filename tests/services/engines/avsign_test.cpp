// Tests of TAvSign against the real stand-in libAvCryptMail.so over a folder certificate store:
// the call trace of the library, the log lines, the failure paths and the signatures, which
// the openssl command verifies.

#include "services/engines/avsign.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <openssl/evp.h>

#include "attr_cert.h"
#include "core/base64.h"
#include "services/engines/avcryptmail.h"
#include "services/engines/avest_signer.h"
#include "services/engines/criptsign.h"
#include "support/cert_fixture.h"
#include "support/recording_doubles.h"

namespace korvalo {
namespace {

namespace fs = std::filesystem;
using namespace korvalo::testing;
using std::chrono::hours;

constexpr char kSigningFailedText[] = "Ошибка выработки подписи";  // the library's 0xE82A0120

std::string KeyIdOf(const TestCert& cert) {
    const std::string der = cert.Der();
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(der.data(), der.size(), digest, &length, EVP_sha1(), nullptr);
    static const char kDigits[] = "0123456789ABCDEF";
    std::string text;
    for (unsigned int i = 0; i < length; ++i) {
        text += kDigits[digest[i] >> 4];
        text += kDigits[digest[i] & 0x0F];
    }
    return text;
}

// A trace line pattern: the text as it stands, "{n}" standing for a decimal number.
bool LineMatches(const std::string& line, const std::string& pattern) {
    std::string re;
    std::size_t pos = 0;
    while (true) {
        const std::size_t mark = pattern.find("{n}", pos);
        const std::string piece = pattern.substr(pos, mark - pos);
        for (char c : piece) {
            if (std::string_view("\\^$.|?*+()[]{}").find(c) != std::string_view::npos)
                re += '\\';
            re += c;
        }
        if (mark == std::string::npos)
            break;
        re += "[0-9]+";
        pos = mark + 3;
    }
    return std::regex_match(line, std::regex(re));
}

void ExpectLines(const std::vector<std::string>& actual, const std::vector<std::string>& expected) {
    const std::size_t n = std::max(actual.size(), expected.size());
    for (std::size_t i = 0; i < n; ++i) {
        const std::string a = i < actual.size() ? actual[i] : "<missing>";
        const std::string e = i < expected.size() ? expected[i] : "<none>";
        EXPECT_TRUE(LineMatches(a, e))
            << "line " << i + 1 << "\n  actual:   " << a << "\n  expected: " << e;
    }
}

// Checks the shape of the base64 text (64-character lines, each ended by CR LF) and returns
// the DER it holds.
std::string DerOfBase64(const std::string& base64) {
    EXPECT_FALSE(base64.empty());
    EXPECT_EQ(base64.substr(base64.size() - 2), "\r\n");
    std::vector<std::string> lines;
    for (std::size_t pos = 0; pos < base64.size();) {
        const std::size_t end = base64.find("\r\n", pos);
        if (end == std::string::npos) {
            ADD_FAILURE() << "text after the last line end";
            break;
        }
        lines.push_back(base64.substr(pos, end - pos));
        pos = end + 2;
    }
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (i + 1 < lines.size())
            EXPECT_EQ(lines[i].size(), 64u) << "line " << i;
        else
            EXPECT_LE(lines[i].size(), 64u);
    }
    return Base64Decode(base64);
}

class AvSignTest : public ::testing::Test {
protected:
    void SetUp() override {
        UnloadAvCryptMail();
        store_ = temp_ / "store";
        fs::create_directories(store_);
        setenv("KORVALO_CERT_STORE", store_.c_str(), 1);
        setenv("KORVALO_AVEST_DIR", KORVALO_STANDIN_DIR, 1);
        setenv("AVCRYPTMAIL_TRACE", (temp_ / "trace.txt").c_str(), 1);
        unsetenv("AVCRYPTMAIL_FAIL");
        unsetenv("AVCRYPTMAIL_KEY_PASSWORD");

        pair_ = MakeCaAndCert({.cn = "Korvalo Test CA", .c = "BY"},
                              {.subject = {.cn = "Signer"}, .serialHex = "0A1B2C3D4E"});
        // Another personal certificate first in store order: the search goes by serial.
        other_ = IssueCert(pair_.ca, {.subject = {.cn = "Other"}, .serialHex = "77"});
        WritePem(store_ / "a-other.pem", other_);
        signerFile_ = store_ / "signer.pem";
        WritePem(signerFile_, pair_.cert);
        caFile_ = temp_ / "ca.pem";
        WriteBytes(caFile_, pair_.ca.CertPem());
        serial_ = pair_.cert.SerialText(false);
        ASSERT_EQ(serial_, "0A1B2C3D4E");
    }

    void TearDown() override {
        UnloadAvCryptMail();
        for (const char* name : {"KORVALO_CERT_STORE", "KORVALO_AVEST_DIR", "AVCRYPTMAIL_TRACE",
                                 "AVCRYPTMAIL_FAIL", "AVCRYPTMAIL_KEY_PASSWORD"})
            unsetenv(name);
    }

    // Writes an attribute certificate for holder into the signer's attribute folder.
    std::string AddAttrCert(const std::string& name, const TestCert& holder,
                            Clock::time_point notBefore = Clock::now() - hours(1),
                            Clock::time_point notAfter = Clock::now() + hours(24)) {
        avcm::AttributeCertificateRequest request;
        request.holder = holder.cert.get();
        request.issuer = pair_.ca.cert.get();
        request.issuerKey = pair_.ca.key.get();
        request.serial = ++acSerial_;
        request.notBefore = notBefore;
        request.notAfter = notAfter;
        request.attributes = {{"2.5.4.72", "роль " + name}};
        const auto der = avcm::MakeAttributeCertificate(request);
        EXPECT_TRUE(der.has_value());
        const fs::path folder = signerFile_.string() + ".attr";
        fs::create_directories(folder);
        WriteBytes(folder / name, der.value_or(""));
        return der.value_or("");
    }

    // The trace of the library without its notes.
    std::vector<std::string> Trace() const {
        std::ifstream in(temp_ / "trace.txt");
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);)
            if (line.rfind("# ", 0) != 0)
                lines.push_back(line);
        return lines;
    }

    std::string TraceText() const {
        std::string text;
        for (const std::string& line : Trace())
            text += line + "\n";
        return text;
    }

    // The trace of the preparation with attrCount attribute certificates found.
    std::vector<std::string> PreparationTrace(int attrCount) const {
        std::vector<std::string> t = {
            "AvCmInit(1) = 0",
            "AvCmLogin([{0x1, 0x100}], flags=0x4) = 0 -> C1",
            "AvCmOpenCertEnum(C1, [{0x25, 0, 0x1}, {0x100E, 0, \"" + serial_ +
                "\"}], flags=0x8000) = 0 -> E1",
            "AvCmEnumGet(E1, flags=0x80) = 0 -> K1",
            "AvCmCloseHandle(E1, flags=0x0) = 0",
            "AvCmGetCertAttr(K1, 0x100F, 0, null, length=0, flags=0x0) = 0 -> length=41",
            "AvCmGetCertAttr(K1, 0x100F, 0, buffer, length=41, flags=0x0) = 0 -> length=41",
            "AvCmLogin([{0x1, 0x100}, {0x100F, \"" + KeyIdOf(pair_.cert) +
                "\"}], flags=0x9) = 0 -> C2",
            "AvCmDuplicateHandle(K1, C2, flags=0x0) = 0 -> K2",
            "AvCmLogout(C1, flags=0x0) = 0",
            "AvCmOpenCertEnum(C2, [{0x323, 0, K2}], flags=0x0) = 0 -> E2",
        };
        for (int i = 1; i <= attrCount; ++i)
            t.push_back("AvCmEnumGet(E2, flags=" + std::string(i == 1 ? "0x80" : "0x40") +
                        ") = 0 -> A" + std::to_string(i));
        t.push_back("AvCmEnumGet(E2, flags=" + std::string(attrCount == 0 ? "0x80" : "0x40") +
                    ") = 0xE82A0125");
        t.push_back("AvCmCloseHandle(E2, flags=0x0) = 0");
        return t;
    }

    // The trace of signing one message M<number> of length bytes; setAttribute gives the
    // result of each AvCmMsgSetAttribute in order.
    static std::vector<std::string> MessageTrace(int number, std::size_t length,
                                                 const std::vector<std::string>& setAttribute) {
        const std::string m = "M" + std::to_string(number);
        std::vector<std::string> t = {"AvCmOpenMsg(C2, data, length=" + std::to_string(length) +
                                      ", flags=0x100) = 0 -> " + m};
        for (std::size_t i = 0; i < setAttribute.size(); ++i)
            t.push_back("AvCmMsgSetAttribute(" + m + ", 0x323, A" + std::to_string(i + 1) +
                        ", 0, 0, flags=0x0) = " + setAttribute[i]);
        t.push_back("AvCmMsgSign(" + m + ", flags=0x2100000) = 0");
        t.push_back("AvCmGetMsg(" + m + ", null, length=0, flags=0x2000) = 0 -> length={n}");
        t.push_back("AvCmGetMsg(" + m + ", buffer, length={n}, flags=0x2000) = 0 -> length={n}");
        t.push_back("AvCmCloseHandle(" + m + ", flags=0x0) = 0");
        return t;
    }

    static std::vector<std::string> EndTrace(int attrCount) {
        std::vector<std::string> t;
        for (int i = 1; i <= attrCount; ++i)
            t.push_back("AvCmCloseHandle(A" + std::to_string(i) + ", flags=0x0) = 0");
        t.push_back("AvCmCloseHandle(K2, flags=0x0) = 0");
        t.push_back("AvCmLogout(C2, flags=0x0) = 0");
        t.push_back("AvCmInit(2) = 0 -> open=0");
        return t;
    }

    // Installs a copy of the stand-in as libAvCryptMail.so.<version> in a folder of its own.
    void UseStandInVersion(const std::string& version) {
        const fs::path folder = temp_ / ("avest-" + version);
        fs::create_directories(folder);
        fs::copy_file(KORVALO_STANDIN_FILE, folder / ("libAvCryptMail.so." + version));
        fs::create_symlink("libAvCryptMail.so." + version, folder / "libAvCryptMail.so");
        setenv("KORVALO_AVEST_DIR", folder.c_str(), 1);
    }

    void ExpectVerifies(const std::string& der, const std::string& content) {
        const CommandResult verified = VerifyDetachedCms(der, content, caFile_);
        EXPECT_EQ(verified.exitCode, 0) << verified.output;
    }

    TempDir temp_;
    fs::path store_;
    fs::path signerFile_;
    fs::path caFile_;
    CaAndCert pair_;
    TestCert other_;
    std::string serial_;
    long acSerial_ = 100;
    RecordingLog log_;
};

// ---- the whole sequence ----

TEST_F(AvSignTest, SignsABufferWithTheAttributeCertificatesInTheExactSequence) {
    const std::string first = AddAttrCert("1-role.der", pair_.cert);
    const std::string second = AddAttrCert("2-role.der", pair_.cert);
    // Not the signer's: the search leaves it out.
    const std::string foreign = AddAttrCert("3-other.der", other_);

    TAvSign signer(log_, true);
    std::string signature;
    ASSERT_TRUE(signer.SignBuffer(serial_, "hello", signature)) << signer.messageAv();
    EXPECT_EQ(signer.messageAv(), "");

    std::vector<std::string> expected = PreparationTrace(2);
    for (const auto& line : MessageTrace(1, 5, {"0", "0"}))
        expected.push_back(line);
    for (const auto& line : EndTrace(2))
        expected.push_back(line);
    ExpectLines(Trace(), expected);
    std::ifstream raw(temp_ / "trace.txt");
    const std::string rawText((std::istreambuf_iterator<char>(raw)), {});
    EXPECT_NE(rawText.find("\n# skipped signer.pem.attr/3-other.der: held by another "
                           "certificate\n"),
              std::string::npos)
        << rawText;
    ExpectLines(log_.Lines(),
                {"serial: 0A1B2C3D4E", "start search attr. cert...", "search attr. cert 0",
                 "found 2", "added attr. certificate", "added attr. certificate"});

    const std::string der = DerOfBase64(signature);
    ExpectVerifies(der, "hello");
    const CmsDump dump = PrintCms(der);
    EXPECT_TRUE(dump.detached);
    EXPECT_EQ(dump.certificateCount, 1);
    EXPECT_EQ(dump.signerDigests, std::vector<std::string>{"2.16.840.1.101.3.4.2.1"});
    EXPECT_NE(std::find(dump.signedAttributes.begin(), dump.signedAttributes.end(),
                        "1.2.840.113549.1.9.5"),
              dump.signedAttributes.end())
        << dump.text;
    EXPECT_NE(dump.text.find("id-smime-aa-ets-signerAttr"), std::string::npos) << dump.text;
    EXPECT_NE(der.find(first), std::string::npos);
    EXPECT_NE(der.find(second), std::string::npos);
    EXPECT_EQ(der.find(foreign), std::string::npos);
}

TEST_F(AvSignTest, WithoutAttributeCertificatesTheMessageIsSignedPlain) {
    for (bool debug : {true, false}) {
        SCOPED_TRACE(debug ? "debug" : "no debug");
        fs::remove(temp_ / "trace.txt");
        log_.ClearInfo();
        TAvSign signer(log_, debug);
        std::string signature;
        ASSERT_TRUE(signer.SignBuffer(serial_, "data to sign", signature)) << signer.messageAv();

        std::vector<std::string> expected = PreparationTrace(0);
        for (const auto& line : MessageTrace(1, 12, {}))
            expected.push_back(line);
        for (const auto& line : EndTrace(0))
            expected.push_back(line);
        ExpectLines(Trace(), expected);
        if (debug)
            ExpectLines(log_.Lines(), {"serial: 0A1B2C3D4E", "start search attr. cert...",
                                       "search attr. cert 3895066917", "found 0"});
        else
            EXPECT_TRUE(log_.Lines().empty());

        const std::string der = DerOfBase64(signature);
        ExpectVerifies(der, "data to sign");
        EXPECT_EQ(PrintCms(der).text.find("signerAttr"), std::string::npos);
    }
}

TEST_F(AvSignTest, RefusedAttributeCertificateIsLoggedAndTheOthersAreAdded) {
    const std::string valid1 = AddAttrCert("1.der", pair_.cert);
    const std::string expired =
        AddAttrCert("2.der", pair_.cert, Clock::now() - hours(48), Clock::now() - hours(24));
    const std::string valid3 = AddAttrCert("3.der", pair_.cert);

    TAvSign signer(log_, false);
    std::string signature;
    ASSERT_TRUE(signer.SignBuffer(serial_, "x", signature)) << signer.messageAv();
    // 0xE82A0122: the attribute certificate is not valid now.
    ExpectLines(log_.Lines(), {"added attr. certificate", "error add attr. certificate 3895066914",
                               "added attr. certificate"});
    std::vector<std::string> expected = PreparationTrace(3);
    for (const auto& line : MessageTrace(1, 1, {"0", "0xE82A0122", "0"}))
        expected.push_back(line);
    for (const auto& line : EndTrace(3))
        expected.push_back(line);
    ExpectLines(Trace(), expected);

    const std::string der = DerOfBase64(signature);
    ExpectVerifies(der, "x");
    EXPECT_NE(der.find(valid1), std::string::npos);
    EXPECT_EQ(der.find(expired), std::string::npos);
    EXPECT_NE(der.find(valid3), std::string::npos);
}

TEST_F(AvSignTest, EcKeysSignWithSha256) {
    const TestCert ec = IssueCert(
        pair_.ca, {.subject = {.cn = "EC signer"}, .serialHex = "0EC0", .key = KeyKind::EcP256});
    WritePem(store_ / "ec.pem", ec);
    TAvSign signer(log_, false);
    std::string signature;
    ASSERT_TRUE(signer.SignBuffer("0EC0", "ec data", signature)) << signer.messageAv();
    const std::string der = DerOfBase64(signature);
    ExpectVerifies(der, "ec data");
    EXPECT_EQ(PrintCms(der).signerDigests, std::vector<std::string>{"2.16.840.1.101.3.4.2.1"});
}

TEST_F(AvSignTest, GostKeysSignWithTheirOwnDigest) {
    GostFiles files;
    std::string error;
    if (!MakeGostCaAndCert(temp_.path(), {.cn = "GOST CA", .c = "RU"},
                           {.subject = {.cn = "GOST signer"}, .serialHex = "6057"}, files, error))
        GTEST_SKIP() << "no GOST engine: " << error;
    WriteBytes(store_ / "gost.pem", ReadBytes(files.cert) + ReadBytes(files.key));
    TAvSign signer(log_, false);
    std::string signature;
    ASSERT_TRUE(signer.SignBuffer("6057", "gost data", signature)) << signer.messageAv();
    const std::string der = DerOfBase64(signature);
    const CommandResult verified = VerifyDetachedCms(der, "gost data", files.caCert, true);
    EXPECT_EQ(verified.exitCode, 0) << verified.output;
    const CmsDump dump = PrintCms(der, true);
    ASSERT_EQ(dump.signerDigests.size(), 1u) << dump.text;
    const std::string& digest = dump.signerDigests[0];
    EXPECT_TRUE(digest == "1.2.643.7.1.1.2.2" || digest == "md_gost12_256") << digest;
}

// ---- failures of the library ----

struct FailCase {
    const char* rule;              // AVCRYPTMAIL_FAIL
    const char* logLine;           // the one log line
    const char* textConnection;    // the connection AvErrorText asks about
    std::vector<std::string> end;  // the trace after the failure's text
};

class AvSignFailure : public AvSignTest, public ::testing::WithParamInterface<FailCase> {};

TEST_P(AvSignFailure, EndsTheRunCleanlyWithTheLibrarysText) {
    const FailCase& c = GetParam();
    setenv("AVCRYPTMAIL_FAIL", c.rule, 1);
    TAvSign signer(log_, false);
    std::string signature;
    EXPECT_FALSE(signer.SignBuffer(serial_, "hello", signature));
    EXPECT_EQ(signature, "");
    EXPECT_EQ(signer.messageAv(), kSigningFailedText);
    ExpectLines(log_.Lines(), {c.logLine});

    const std::vector<std::string> trace = Trace();
    // The failing call, then the text of its code for the current connection, then the end.
    std::size_t failed = 0;
    while (failed < trace.size() && trace[failed].find("(injected)") == std::string::npos)
        ++failed;
    ASSERT_LT(failed, trace.size()) << TraceText();
    std::vector<std::string> rest(trace.begin() + static_cast<long>(failed) + 1, trace.end());
    std::vector<std::string> expected = {
        std::string("AvCmGetErrorInfo(") + c.textConnection +
            ", 0xE82A0120, 1, null, length=0, flags=0x0) = 0 -> length={n}",
        std::string("AvCmGetErrorInfo(") + c.textConnection +
            ", 0xE82A0120, 1, buffer, length={n}, flags=0x0) = 0 -> length={n}"};
    expected.insert(expected.end(), c.end.begin(), c.end.end());
    ExpectLines(rest, expected);
}

const std::vector<std::string> kEndConnection1 = {"AvCmLogout(C1, flags=0x0) = 0",
                                                  "AvCmInit(2) = 0 -> open=0"};
const std::vector<std::string> kEndConnection2 = {"AvCmCloseHandle(K2, flags=0x0) = 0",
                                                  "AvCmLogout(C2, flags=0x0) = 0",
                                                  "AvCmInit(2) = 0 -> open=0"};
const std::vector<std::string> kEndMessage = {
    "AvCmCloseHandle(M1, flags=0x0) = 0", "AvCmCloseHandle(K2, flags=0x0) = 0",
    "AvCmLogout(C2, flags=0x0) = 0", "AvCmInit(2) = 0 -> open=0"};

INSTANTIATE_TEST_SUITE_P(
    Steps, AvSignFailure,
    ::testing::Values(
        FailCase{"AvCmInit:0xE82A0120:1", "3895066912", "null", {}},
        FailCase{"AvCmLogin:0xE82A0120:1",
                 "AvCmLogin: 3895066912",
                 "null",
                 {"AvCmInit(2) = 0 -> open=0"}},
        FailCase{"AvCmOpenCertEnum:0xE82A0120:1", "AvCmOpenCertEnum: 3895066912", "C1",
                 kEndConnection1},
        FailCase{"AvCmEnumGet:0xE82A0120:1",
                 "3895066912",
                 "C1",
                 {"AvCmCloseHandle(E1, flags=0x0) = 0", "AvCmLogout(C1, flags=0x0) = 0",
                  "AvCmInit(2) = 0 -> open=0"}},
        FailCase{"AvCmGetCertAttr:0xE82A0120:2", "AvCmGetCertAttr: 3895066912", "C1",
                 kEndConnection1},
        FailCase{"AvCmLogin:0xE82A0120:2", "AvCmLogin2: 3895066912", "C1", kEndConnection1},
        FailCase{"AvCmDuplicateHandle:0xE82A0120:1",
                 "AvCmDuplicateHandle: 3895066912",
                 "C1",
                 {"AvCmLogout(C1, flags=0x0) = 0", "AvCmLogout(C2, flags=0x0) = 0",
                  "AvCmInit(2) = 0 -> open=0"}},
        FailCase{"AvCmOpenCertEnum:0xE82A0120:2", "AvCmOpenCertEnum: 3895066912", "C2",
                 kEndConnection2},
        FailCase{"AvCmEnumGet:0xE82A0120:2",
                 "error search attr. cert 3895066912",
                 "C2",
                 {"AvCmCloseHandle(E2, flags=0x0) = 0", "AvCmCloseHandle(K2, flags=0x0) = 0",
                  "AvCmLogout(C2, flags=0x0) = 0", "AvCmInit(2) = 0 -> open=0"}},
        FailCase{"AvCmOpenMsg:0xE82A0120:1", "AvCmOpenMsg: 3895066912", "C2", kEndConnection2},
        FailCase{"AvCmMsgSign:0xE82A0120:1", "AvCmMsgSign: 3895066912", "C2", kEndMessage},
        FailCase{"AvCmGetMsg:0xE82A0120:1", "AvCmGetMsg: 3895066912", "C2", kEndMessage},
        FailCase{"AvCmGetMsg:0xE82A0120:2", "AvCmGetMsg2: 3895066912", "C2", kEndMessage}),
    [](const auto& info) {
        std::string name = info.param.rule;
        name = name.substr(0, name.find(':')) + "_" + name.substr(name.rfind(':') + 1);
        return name;
    });

TEST_F(AvSignTest, OldLibraryVersionsCannotSearchAttributeCertificates) {
    // 10.0.0.0 sorts before "3.4.0" byte by byte.
    for (const std::string version : {"3.3.9.0", "10.0.0.0"}) {
        SCOPED_TRACE(version);
        UnloadAvCryptMail();
        UseStandInVersion(version);
        fs::remove(temp_ / "trace.txt");
        log_.ClearInfo();
        TAvSign signer(log_, false);
        std::string signature;
        EXPECT_FALSE(signer.SignBuffer(serial_, "hello", signature));
        ExpectLines(log_.Lines(), {"AvCmOpenCertEnum: 3895066918"});
        // The library has no text of its own for the binding's code.
        EXPECT_EQ(signer.messageAv(), "AvError: 3895066918");
        const std::vector<std::string> trace = Trace();
        ASSERT_GE(trace.size(), 3u);
        ExpectLines(std::vector<std::string>(trace.end() - 3, trace.end()), kEndConnection2);
        EXPECT_EQ(TraceText().find("0x323, 0, K2"), std::string::npos);  // never called
    }
    // 3.4.0.0 sorts after "3.4.0".
    UnloadAvCryptMail();
    UseStandInVersion("3.4.0.0");
    TAvSign signer(log_, false);
    std::string signature;
    EXPECT_TRUE(signer.SignBuffer(serial_, "hello", signature)) << signer.messageAv();
}

TEST_F(AvSignTest, MissingLibraryRaisesTheAvestErrorWithTheLoadersText) {
    const fs::path empty = temp_ / "no-avest";
    fs::create_directories(empty);
    setenv("KORVALO_AVEST_DIR", empty.c_str(), 1);
    dlerror();
    ASSERT_EQ(dlopen((empty / "libAvCryptMail.so").c_str(), RTLD_NOW), nullptr);
    const std::string expected = std::string("Ошибка подписи Avest. ") + dlerror();

    TJobList jobs = {{"1", "one", "", ""}};
    TAvSign signer(log_, true);
    try {
        (void)signer.Sign(serial_, jobs);  // throws
        FAIL() << "no exception";
    } catch (const AvSignError& e) {
        EXPECT_EQ(std::string(e.what()), expected);
    }
    EXPECT_EQ(jobs[0].sign, "");
    EXPECT_EQ(jobs[0].error, "");
    std::string signature;
    EXPECT_THROW((void)signer.SignBuffer(serial_, "x", signature), AvSignError);
    ExpectLines(log_.Lines(), {expected, expected});
}

TEST_F(AvSignTest, MissingEntryPointEndsTheRunThroughTheExceptionPath) {
    // The binding's fake without AvCmLogin (version 3.3.0.0, below every gate it lacks).
    const fs::path folder = temp_ / "fake";
    fs::create_directories(folder);
    fs::copy_file(FAKE_AV_NO_SET_ATTRIBUTE, folder / "libAvCryptMail.so.3.3.0.0");
    fs::create_symlink("libAvCryptMail.so.3.3.0.0", folder / "libAvCryptMail.so");
    setenv("KORVALO_AVEST_DIR", folder.c_str(), 1);

    TAvSign signer(log_, false);
    std::string signature;
    try {
        (void)signer.SignBuffer(serial_, "x", signature);  // throws
        FAIL() << "no exception";
    } catch (const AvSignError& e) {
        const std::string text = e.what();
        EXPECT_EQ(text.rfind("Ошибка подписи Avest. ", 0), 0u) << text;
        EXPECT_NE(text.find("undefined symbol: AvCmLogin"), std::string::npos) << text;
        ExpectLines(log_.Lines(), {text});
    }
    // AvCmInit(1) and, ending the run, AvCmInit(2).
    void* module = dlopen(AvCryptMail()->Path().c_str(), RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(module, nullptr);
    auto calls = reinterpret_cast<const char* (*)()>(dlsym(module, "FakeAvCalls"));
    EXPECT_STREQ(calls(), "AvCmInit;AvCmInit;");
    dlclose(module);
}

TEST_F(AvSignTest, EmptyMessageFromTheLibraryIsABase64Failure) {
    // Every AvCmGetMsg "succeeds" without giving a byte.
    setenv("AVCRYPTMAIL_FAIL", "AvCmGetMsg:0", 1);
    const std::regex line("[0-9]{2}:[0-9]{2}:[0-9]{2} Ошибка base64 87");
    {
        TAvSign signer(log_, false);
        std::string signature;
        EXPECT_FALSE(signer.SignBuffer(serial_, "x", signature));
        EXPECT_EQ(signer.messageAv(), "87");
        ASSERT_EQ(log_.Lines().size(), 1u);
        EXPECT_TRUE(std::regex_match(log_.Lines()[0], line)) << log_.Lines()[0];
    }
    log_.ClearInfo();
    TJobList jobs = {{"1", "one", "", ""}};
    TAvSign signer(log_, false);
    EXPECT_FALSE(signer.Sign(serial_, jobs));
    EXPECT_EQ(signer.messageAv(), " Ошибка base64 87");
    EXPECT_EQ(jobs[0].sign, "");
    ASSERT_EQ(log_.Lines().size(), 1u);
    EXPECT_TRUE(std::regex_match(log_.Lines()[0], line)) << log_.Lines()[0];
    const std::vector<std::string> trace = Trace();
    ExpectLines(std::vector<std::string>(trace.end() - 4, trace.end()), kEndMessage);
}

TEST_F(AvSignTest, ProtectedKeyNeedsItsPassword) {
    WritePem(signerFile_, pair_.cert, {.keyPassword = "secret"});
    struct Case {
        const char* password;
        bool signs;
        const char* log;
        const char* text;
    };
    for (const Case& c :
         {Case{nullptr, false, "AvCmLogin2: 3895066899", "Пароль личного ключа не указан"},
          Case{"wrong", false, "AvCmLogin2: 3895066900", "Неверный пароль личного ключа"},
          Case{"secret", true, nullptr, ""}}) {
        SCOPED_TRACE(c.password ? c.password : "no password");
        if (c.password)
            setenv("AVCRYPTMAIL_KEY_PASSWORD", c.password, 1);
        log_.ClearInfo();
        TAvSign signer(log_, false);
        std::string signature;
        EXPECT_EQ(signer.SignBuffer(serial_, "x", signature), c.signs);
        EXPECT_EQ(signer.messageAv(), c.text);
        if (c.log)
            ExpectLines(log_.Lines(), {c.log});
        else
            EXPECT_TRUE(log_.Lines().empty());
    }
}

// ---- job lists ----

TEST_F(AvSignTest, JobListIsSignedInOneRun) {
    AddAttrCert("role.der", pair_.cert);
    TJobList jobs = {{"a", "first document", "", ""}, {"b", "", "", ""}, {"c", "third", "", ""}};
    TAvSign signer(log_, false);
    ASSERT_TRUE(signer.Sign(serial_, jobs)) << signer.messageAv();

    std::vector<std::string> expected = PreparationTrace(1);
    for (int i = 0; i < 3; ++i)
        for (const auto& line : MessageTrace(i + 1, jobs[i].pData.size(), {"0"}))
            expected.push_back(line);
    for (const auto& line : EndTrace(1))
        expected.push_back(line);
    ExpectLines(Trace(), expected);
    ExpectLines(log_.Lines(),
                {"added attr. certificate", "added attr. certificate", "added attr. certificate"});
    for (const TRecordSign& job : jobs) {
        SCOPED_TRACE(job.id);
        EXPECT_EQ(job.error, "");
        ExpectVerifies(DerOfBase64(job.sign), job.pData);
    }
}

TEST_F(AvSignTest, SecondJobFailingAtSigningStopsTheList) {
    setenv("AVCRYPTMAIL_FAIL", "AvCmMsgSign:0xE82A0120:2", 1);
    TJobList jobs = {{"a", "one", "", ""}, {"b", "two", "", ""}, {"c", "three", "", ""}};
    TAvSign signer(log_, false);
    EXPECT_FALSE(signer.Sign(serial_, jobs));
    EXPECT_EQ(signer.messageAv(), kSigningFailedText);
    ExpectVerifies(DerOfBase64(jobs[0].sign), "one");
    EXPECT_EQ(jobs[1].sign, "");
    EXPECT_EQ(jobs[2].sign, "");
    for (const TRecordSign& job : jobs)
        EXPECT_EQ(job.error, "");
    ExpectLines(log_.Lines(), {"AvCmMsgSign: 3895066912"});
    const std::vector<std::string> trace = Trace();
    ExpectLines(std::vector<std::string>(trace.end() - 4, trace.end()),
                {"AvCmCloseHandle(M2, flags=0x0) = 0", "AvCmCloseHandle(K2, flags=0x0) = 0",
                 "AvCmLogout(C2, flags=0x0) = 0", "AvCmInit(2) = 0 -> open=0"});
}

TEST_F(AvSignTest, EmptyJobListRunsThePreparationOnly) {
    TJobList jobs;
    TAvSign signer(log_, false);
    EXPECT_TRUE(signer.Sign(serial_, jobs));
    EXPECT_EQ(signer.messageAv(), "");
    std::vector<std::string> expected = PreparationTrace(0);
    for (const auto& line : EndTrace(0))
        expected.push_back(line);
    ExpectLines(Trace(), expected);
}

TEST_F(AvSignTest, UnknownSerialGivesTheLibrarysText) {
    TAvSign signer(log_, false);
    std::string signature;
    // Letter case counts: the stored text is upper case.
    EXPECT_FALSE(signer.SignBuffer("0a1b2c3d4e", "x", signature));
    ExpectLines(log_.Lines(), {"3895066917"});
    EXPECT_EQ(signer.messageAv(), "Объект не найден");
}

// ---- through TSign ----

TEST_F(AvSignTest, TSignSignsThroughTheAvestSignerWhenAvCryptIsOn) {
    const std::string role = AddAttrCert("role.der", pair_.cert);
    const fs::path file = temp_ / "message.htm";
    WriteBytes(file, "<p>message</p>");
    AvestSigner avest(log_, false);
    TSignContext context{log_, {}, store_, nullptr, &avest};
    context.options.avCrypt = true;

    TSign single(context, file.string(), pair_.cert.SerialText(true));
    ASSERT_TRUE(single.Sign()) << single.message();
    const std::string der = DerOfBase64(single.Signature());
    ExpectVerifies(der, "<p>message</p>");
    EXPECT_NE(der.find(role), std::string::npos);

    TJobList jobs = {{"1", "one", "", ""}, {"2", "two", "", ""}};
    setenv("AVCRYPTMAIL_FAIL", "AvCmMsgSign:0xE82A0120:2", 1);
    TSign batch(context, jobs, pair_.cert.SerialText(true), "");
    EXPECT_FALSE(batch.Sign());
    EXPECT_EQ(batch.message(), kSigningFailedText);
    ExpectVerifies(DerOfBase64(jobs[0].sign), "one");
    EXPECT_EQ(jobs[1].sign, "");
}

}  // namespace
}  // namespace korvalo
