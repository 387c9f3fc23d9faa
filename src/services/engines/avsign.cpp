#include "services/engines/avsign.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <vector>

#include "core/base64.h"
#include "core/timestamp.h"
#include "services/engines/avcryptmail.h"

namespace korvalo {

namespace {

constexpr char kAvestErrorPrefix[] = "Ошибка подписи Avest. ";

// The platform's code for a conversion of no bytes (ERROR_INVALID_PARAMETER): an empty
// message from the library is never handed on as a signature.
constexpr std::uint32_t kErrorInvalidParameter = 87;

// Ids, values and flags of the Avest sequence.
constexpr std::uint32_t kLoginModePersonal = AVCM_LOGIN_MODE_PERSONAL;  // value of id 1
constexpr std::uint32_t kStoreKindPersonal = AVCM_STORE_KIND_PERSONAL;  // value of id 0x25

std::string Code(AvCmResult r) {
    return std::to_string(r);
}

// One run of the library: the Avest sequence with its handles. Every handle the run opens is
// closed on every path; both connections are logged out; AvCmInit(2) ends a run whose
// AvCmInit(1) succeeded.
class AvestRun {
public:
    AvestRun(const AvCryptMailLibrary& lib, ILogSink& log, bool debug, std::string& failure)
        : lib_(lib), log_(log), debug_(debug), failure_(failure) {}
    ~AvestRun() { End(); }
    AvestRun(const AvestRun&) = delete;
    AvestRun& operator=(const AvestRun&) = delete;

    // Preparation: FindCertificate, BindKey, CollectAttributeCertificates. False (the run
    // ended) on a library failure.
    [[nodiscard]] bool Prepare(const std::string& serialText);

    // Signs one buffer in the second connection. True with the base64 text; false (the run
    // ended) on a failure. singleBuffer chooses the failure text of a base64 failure.
    [[nodiscard]] bool SignOne(std::string_view data, std::string& base64, bool singleBuffer);

    // Ends the run: closes what is open, logs out, AvCmInit(2). Runs once; never throws.
    void End() noexcept;

private:
    // Starts the library, logs in to the personal store (connection 1) and finds the
    // certificate of that serial text.
    [[nodiscard]] bool FindCertificate(const std::string& serialText);
    // Logs in a second time bound to the certificate's key (connection 2), takes the
    // certificate over into it and logs connection 1 out.
    [[nodiscard]] bool BindKey();
    // Collects the attribute certificates of the certificate in connection 2.
    [[nodiscard]] bool CollectAttributeCertificates();

    // A library failure: the failure text for the connection, then the end of the run.
    bool Fail(AvCmHandle connection, AvCmResult r) {
        failure_ = lib_.ErrorText(connection, r);
        End();
        return false;
    }
    void Log(const std::string& line) { log_.PrintInfo(line); }
    void Debug(const std::string& line) {
        if (debug_)
            log_.PrintInfo(line);
    }
    void Close(AvCmHandle& handle) noexcept;
    void Logout(AvCmHandle connection, bool& open) noexcept;

    const AvCryptMailLibrary& lib_;
    ILogSink& log_;
    bool debug_;
    std::string& failure_;

    bool initialized_ = false;
    bool ended_ = false;
    AvCmHandle connection1_ = nullptr;
    bool connection1Open_ = false;
    AvCmHandle connection2_ = nullptr;
    bool connection2Open_ = false;
    AvCmHandle enumeration_ = nullptr;  // the one open enumeration
    AvCmHandle certificate_ = nullptr;  // in connection 1; released with it
    AvCmHandle duplicate_ = nullptr;    // the certificate in connection 2
    std::vector<AvCmHandle> attrCerts_;
    AvCmHandle message_ = nullptr;  // the one open message
};

void AvestRun::Close(AvCmHandle& handle) noexcept {
    if (handle == nullptr)
        return;
    try {
        // A handle that does not close at the end of a run: nothing more can be done.
        (void)lib_.AvCmCloseHandle(handle, 0);
    } catch (...) {
        // An entry point missing at the end of a run: nothing more can be done.
    }
    handle = nullptr;
}

void AvestRun::Logout(AvCmHandle connection, bool& open) noexcept {
    if (!open)
        return;
    open = false;
    try {
        // Likewise a session that does not log out.
        (void)lib_.AvCmLogout(connection, 0);
    } catch (...) {
    }
}

void AvestRun::End() noexcept {
    if (ended_)
        return;
    ended_ = true;
    Close(message_);
    Close(enumeration_);
    for (AvCmHandle& attrCert : attrCerts_)
        Close(attrCert);
    attrCerts_.clear();
    Close(duplicate_);
    Logout(connection1_, connection1Open_);
    Logout(connection2_, connection2Open_);
    if (initialized_) {
        initialized_ = false;
        try {
            // Likewise a library that does not end.
            (void)lib_.AvCmInit(AVCM_INIT_END);
        } catch (...) {
        }
    }
}

bool AvestRun::Prepare(const std::string& serialText) {
    return FindCertificate(serialText) && BindKey() && CollectAttributeCertificates();
}

bool AvestRun::FindCertificate(const std::string& serialText) {
    AvCmResult r = lib_.AvCmInit(AVCM_INIT_START);
    Debug("serial: " + serialText);
    if (r != AVCM_OK) {
        Log(Code(r));
        failure_ = lib_.ErrorText(nullptr, r);
        ended_ = true;
        return false;
    }
    initialized_ = true;

    const AvCmLoginParam login1[] = {{AVCM_PARAM_LOGIN_MODE, &kLoginModePersonal}};
    r = lib_.AvCmLogin(1, login1, &connection1_, AVCM_LOGIN_STORE_ONLY);
    if (r != AVCM_OK) {
        Log("AvCmLogin: " + Code(r));
        return Fail(connection1_, r);  // nothing to log out
    }
    connection1Open_ = true;

    const AvCmFindParam certSearch[] = {{AVCM_PARAM_STORE_KIND, 0, &kStoreKindPersonal},
                                        {AVCM_PARAM_SERIAL, 0, serialText.c_str()}};
    r = lib_.AvCmOpenCertEnum(connection1_, 2, certSearch, &enumeration_, AVCM_ENUM_CERTIFICATES);
    if (r != AVCM_OK) {
        enumeration_ = nullptr;
        Log("AvCmOpenCertEnum: " + Code(r));
        return Fail(connection1_, r);
    }
    r = lib_.AvCmEnumGet(enumeration_, &certificate_, AVCM_ENUM_FIRST);
    if (r != AVCM_OK) {
        Log(Code(r));
        return Fail(connection1_, r);
    }
    Close(enumeration_);
    return true;
}

bool AvestRun::BindKey() {
    std::uint32_t length = 0;
    // Asks only for the length; a failure shows in the call that reads the value.
    (void)lib_.AvCmGetCertAttr(certificate_, AVCM_CERT_ATTR_KEY_ID, 0, nullptr, &length, 0);
    // One byte more than asked for keeps the value zero-terminated whatever it holds.
    std::string keyId(static_cast<std::size_t>(length) + 1, '\0');
    AvCmResult r =
        lib_.AvCmGetCertAttr(certificate_, AVCM_CERT_ATTR_KEY_ID, 0, keyId.data(), &length, 0);
    if (r != AVCM_OK) {
        Log("AvCmGetCertAttr: " + Code(r));
        return Fail(connection1_, r);
    }
    const AvCmLoginParam login2[] = {{AVCM_PARAM_LOGIN_MODE, &kLoginModePersonal},
                                     {AVCM_PARAM_KEY_ID, keyId.data()}};
    r = lib_.AvCmLogin(2, login2, &connection2_, AVCM_LOGIN_WITH_KEY);
    if (r != AVCM_OK) {
        Log("AvCmLogin2: " + Code(r));
        return Fail(connection1_, r);
    }
    connection2Open_ = true;

    r = lib_.AvCmDuplicateHandle(certificate_, connection2_, &duplicate_, 0);
    if (r != AVCM_OK) {
        duplicate_ = nullptr;
        Log("AvCmDuplicateHandle: " + Code(r));
        return Fail(connection1_, r);
    }
    Logout(connection1_, connection1Open_);
    certificate_ = nullptr;  // released with connection 1
    return true;
}

bool AvestRun::CollectAttributeCertificates() {
    Debug("start search attr. cert...");

    const AvCmFindParam attrSearch[] = {{AVCM_PARAM_ATTR_CERTS_OF, 0, &duplicate_}};
    AvCmResult r = lib_.AvCmOpenCertEnum(connection2_, 1, attrSearch, &enumeration_, 0);
    if (r != AVCM_OK) {
        enumeration_ = nullptr;
        Log("AvCmOpenCertEnum: " + Code(r));
        return Fail(connection2_, r);
    }
    AvCmHandle attrCert = nullptr;
    r = lib_.AvCmEnumGet(enumeration_, &attrCert, AVCM_ENUM_FIRST);
    Debug("search attr. cert " + Code(r));
    if (r != AVCM_OK && r != AVCM_E_NO_MORE_ITEMS) {
        Log("error search attr. cert " + Code(r));
        return Fail(connection2_, r);
    }
    while (r == AVCM_OK) {
        attrCerts_.push_back(attrCert);
        attrCert = nullptr;
        r = lib_.AvCmEnumGet(enumeration_, &attrCert, AVCM_ENUM_NEXT);
    }
    Close(enumeration_);
    Debug("found " + std::to_string(attrCerts_.size()));
    return true;
}

bool AvestRun::SignOne(std::string_view data, std::string& base64, bool singleBuffer) {
    if (data.size() > std::numeric_limits<std::uint32_t>::max())
        throw std::length_error("данные для подписи длиннее 4 ГБ: " + std::to_string(data.size()) +
                                " байт");
    AvCmResult r =
        lib_.AvCmOpenMsg(connection2_, data.data(), static_cast<std::uint32_t>(data.size()),
                         &message_, AVCM_MSG_DETACHED_SIGN);
    if (r != AVCM_OK) {
        message_ = nullptr;
        Log("AvCmOpenMsg: " + Code(r));
        return Fail(connection2_, r);
    }
    for (AvCmHandle& attrCert : attrCerts_) {
        r = lib_.AvCmMsgSetAttribute(message_, AVCM_MSG_ATTR_ATTR_CERT, &attrCert, 0, 0, 0);
        Log(r != AVCM_OK ? "error add attr. certificate " + Code(r) : "added attr. certificate");
    }
    r = lib_.AvCmMsgSign(message_, AVCM_MSG_SIGN_DEFAULT);
    if (r != AVCM_OK) {
        Log("AvCmMsgSign: " + Code(r));
        return Fail(connection2_, r);
    }
    std::uint32_t length = 0;
    r = lib_.AvCmGetMsg(message_, nullptr, &length, AVCM_MSG_ENCODING_DER);
    if (r != AVCM_OK) {
        Log("AvCmGetMsg: " + Code(r));
        return Fail(connection2_, r);
    }
    std::string der(length, '\0');
    std::uint32_t written = length;
    r = lib_.AvCmGetMsg(message_, der.data(), &written, AVCM_MSG_ENCODING_DER);
    if (r != AVCM_OK) {
        Log("AvCmGetMsg2: " + Code(r));
        return Fail(connection2_, r);
    }
    der.resize(std::min(written, length));
    if (der.empty()) {
        const std::string code = std::to_string(kErrorInvalidParameter);
        failure_ = singleBuffer ? code : " Ошибка base64 " + code;
        Log(TimeStamp() + " Ошибка base64 " + code);
        End();
        return false;
    }
    base64 = Base64EncodeLines64(der);
    Close(message_);
    return true;
}

}  // namespace

TAvSign::TAvSign(ILogSink& log, bool debug) : log_(log), debug_(debug) {}

bool TAvSign::Sign(const std::string& serialText, TJobList& ListSign) {
    try {
        const auto library = LoadAvCryptMail();
        AvestRun run(*library, log_, debug_, FMessage);
        if (!run.Prepare(serialText))
            return false;
        for (TRecordSign& job : ListSign) {
            std::string base64;
            if (!run.SignOne(job.pData, base64, false))
                return false;
            job.sign = std::move(base64);
        }
        run.End();
        return true;
    } catch (const std::exception& e) {
        const std::string text = kAvestErrorPrefix + std::string(e.what());
        log_.PrintInfo(text);
        throw AvSignError(text);
    }
}

bool TAvSign::SignBuffer(const std::string& serialText, std::string_view data,
                         std::string& signature) {
    try {
        const auto library = LoadAvCryptMail();
        AvestRun run(*library, log_, debug_, FMessage);
        if (!run.Prepare(serialText))
            return false;
        std::string base64;
        if (!run.SignOne(data, base64, true))
            return false;
        run.End();
        signature = std::move(base64);
        return true;
    } catch (const std::exception& e) {
        const std::string text = kAvestErrorPrefix + std::string(e.what());
        log_.PrintInfo(text);
        throw AvSignError(text);
    }
}

}  // namespace korvalo
