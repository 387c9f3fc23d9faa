#include "services/engines/cryptidcard.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string_view>
#include <system_error>

#include "core/base64.h"
#include "core/unique_fd.h"
#include "core/user_interface.h"
#include "platform/net/curl_handles.h"

namespace korvalo {

namespace {

// The card's own success status (0x9000).
constexpr const char* kCardSuccess = "36864";
constexpr const char* kSignPath = "/sign_kta_cms";
// A signature answer is a few kilobytes; anything past this is not the card service talking.
constexpr std::size_t kMaxAnswerBytes = 16u << 20;

// A failure of the exchange whose text is shown to the user as it stands.
class CardServiceError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

std::string SystemErrorText() {
    return std::error_code(errno, std::generic_category()).message();
}

void EnsureCurlInitialised() {
    const CURLcode code = CurlGlobalInit();
    if (code != CURLE_OK)
        throw CardServiceError(curl_easy_strerror(code));
}

struct AnswerBuffer {
    std::string body;
    bool tooLarge = false;
};

std::size_t CollectAnswer(char* data, std::size_t size, std::size_t count, void* user) {
    auto* answer = static_cast<AnswerBuffer*>(user);
    const std::size_t bytes = size * count;
    if (answer->body.size() + bytes > kMaxAnswerBytes) {
        answer->tooLarge = true;
        return 0;  // aborts the transfer
    }
    answer->body.append(data, bytes);
    return bytes;
}

// Errors where the peer answered but did not speak HTTP as a client expects.
bool IsHttpProtocolError(CURLcode code) {
    switch (code) {
        case CURLE_UNSUPPORTED_PROTOCOL:  // an HTTP/0.9 answer (no status line)
        case CURLE_WEIRD_SERVER_REPLY:
        case CURLE_HTTP2:
        case CURLE_HTTP2_STREAM:
        case CURLE_HTTP3:
        case CURLE_BAD_CONTENT_ENCODING:
            return true;
        default:
            return false;
    }
}

struct Exchange {
    long status = 0;
    std::string body;
};

Exchange PostToCardService(const CardServiceOptions& options, const std::string& requestBody) {
    EnsureCurlInitialised();
    CurlEasy curl(curl_easy_init());
    if (!curl)
        throw CardServiceError("Не удалось создать HTTP-клиент для службы ID-карты");
    CurlSlist headers;
    AppendCurlLine(headers, "Content-Type: application/json; charset=utf-8");
    AppendCurlLine(headers, "Expect:");  // no 100-continue round for large documents

    const std::string url =
        "http://" + options.host + ":" + std::to_string(options.port) + kSignPath;
    AnswerBuffer answer;
    char errorText[CURL_ERROR_SIZE] = {};
    CURL* h = curl.get();
    curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_PROXY, "");  // the service is local: never through a proxy
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, options.connectTimeoutMs);
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(h, CURLOPT_POST, 1L);
    curl_easy_setopt(h, CURLOPT_POSTFIELDS, requestBody.data());
    curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(requestBody.size()));
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &CollectAnswer);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &answer);
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errorText);

    const CURLcode code = curl_easy_perform(h);
    if (answer.tooLarge)
        throw CardServiceError("Ответ службы ID-карты слишком велик");
    if (IsHttpProtocolError(code))
        throw CardServiceError("NTClientSoftware not available");
    if (code != CURLE_OK)
        throw CardServiceError(errorText[0] != '\0' ? errorText : curl_easy_strerror(code));

    Exchange result;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &result.status);
    result.body = std::move(answer.body);
    return result;
}

// A member of the answer as text: a string as it is, an integer (when allowed) in decimal.
std::string MemberText(const nlohmann::json& answer, const char* name, bool allowInteger,
                       const char* missing, const char* wrongType) {
    const auto it = answer.find(name);
    if (it == answer.end())
        throw CardServiceError(missing);
    if (it->is_string())
        return it->get<std::string>();
    if (allowInteger && it->is_number_integer())
        return it->dump();
    throw CardServiceError(wrongType);
}

}  // namespace

CardServiceOptions CardServiceOptions::FromEnvironment() {
    CardServiceOptions options;
    if (const char* text = std::getenv("KORVALO_CARD_SERVICE_PORT"); text != nullptr) {
        const std::string_view port(text);
        unsigned value = 0;
        const auto parsed = std::from_chars(port.data(), port.data() + port.size(), value);
        if (parsed.ec == std::errc() && parsed.ptr == port.data() + port.size() && value > 0 &&
            value <= 65535)
            options.port = static_cast<unsigned short>(value);
    }
    return options;
}

TSignIdCard::TSignIdCard(std::string FN, CardServiceOptions options)
    : FFName(std::move(FN)), FOptions(std::move(options)) {}

TSignIdCard::TSignIdCard(TJobList& ListSign, CardServiceOptions options)
    : FListSign(&ListSign), FOptions(std::move(options)) {}

std::string TSignIdCard::SizeRefusal(std::uint64_t size) {
    return "Размер файла (" + std::to_string(size) + ") превышает допустимый (" +
           std::to_string(kMaxFileSize) + ").";
}

bool TSignIdCard::SignFile() {
    const UniqueFd fd(::open(FFName.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st {};
    if (!fd.ok() || ::fstat(fd.get(), &st) != 0)
        throw std::runtime_error("Не удалось открыть файл " + FFName + ": " + SystemErrorText());
    if (S_ISDIR(st.st_mode)) {
        errno = EISDIR;
        throw std::runtime_error("Не удалось открыть файл " + FFName + ": " + SystemErrorText());
    }
    if (S_ISREG(st.st_mode) && static_cast<std::uint64_t>(st.st_size) > kMaxFileSize) {
        FMessage = SizeRefusal(static_cast<std::uint64_t>(st.st_size));
        return false;
    }
    // Read to the end, but never past the limit (the file may grow, or tell no size).
    std::string content;
    content.reserve(S_ISREG(st.st_mode) ? static_cast<std::size_t>(st.st_size) : 0);
    char chunk[64 * 1024];
    for (;;) {
        const ssize_t got = ::read(fd.get(), chunk, sizeof chunk);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            throw std::runtime_error("Не удалось прочитать файл " + FFName + ": " +
                                     SystemErrorText());
        if (got == 0)
            break;
        if (content.size() + static_cast<std::size_t>(got) > kMaxFileSize) {
            FMessage = SizeRefusal(content.size() + static_cast<std::size_t>(got));
            return false;
        }
        content.append(chunk, static_cast<std::size_t>(got));
    }
    return CallCardService(Base64EncodeLines76(content));
}

int TSignIdCard::SignMultipleFile() {
    int result = kResultClosed;
    if (FListSign == nullptr)
        return result;
    for (TRecordSign& job : *FListSign) {
        if (job.pData.size() > kMaxFileSize) {
            FMessage = SizeRefusal(job.pData.size());
            job.error = FMessage;
            result = kResultClosed;
        } else if (CallCardService(Base64Encode(job.pData))) {
            job.sign = FSignature;
            result = kResultSigned;
        } else {
            job.error = FMessage;
            result = kResultClosed;
        }
    }
    return result;
}

std::string TSignIdCard::CardErrorText(const std::string& code) {
    std::int64_t value = 0;
    const char* end = code.data() + code.size();
    const auto parsed = std::from_chars(code.data(), end, value);
    if (code.empty() || parsed.ec != std::errc() || parsed.ptr != end)
        throw std::invalid_argument(
            "Служба ID-карты вернула код ошибки, который не является целым числом: \"" + code +
            "\"");
    switch (value) {
        case 1:
            return "Карта отсутствует в считывателе";
        case 802:
            return "Пароль заблокирован навсегда";
        case 804:
            return "Отменен ввод пароля";
        case 805:
            return "Пароль заблокирован";
        case 806:
            return "Отменен выбор сертификата";
        case 904:
            return "Нет подписанных данных";
        case 917:
            return "Не удалось прочитать данные с карты";
        case 930:
            return "Не удалось создать cms";
        default:
            return "NTClientSoftware not available. Error " + code;
    }
}

bool TSignIdCard::CallCardService(const std::string& data) {
    try {
        nlohmann::ordered_json request;
        request["data"] = data;
        request["isDetached"] = "true";
        const Exchange exchange = PostToCardService(FOptions, request.dump());

        if (exchange.body.empty())
            throw CardServiceError("Служба ID-карты вернула пустой ответ (HTTP " +
                                   std::to_string(exchange.status) + ")");
        const auto answer = nlohmann::json::parse(exchange.body, nullptr, false);
        if (!answer.is_object())
            throw CardServiceError("Ответ службы ID-карты не является объектом JSON (HTTP " +
                                   std::to_string(exchange.status) + ")");
        const std::string error = MemberText(
            answer, "error", true, "В ответе службы ID-карты нет кода ошибки (\"error\")",
            "Код ошибки в ответе службы ID-карты не является строкой");

        if (exchange.status != 200) {
            FMessage = CardErrorText(error);
            return false;
        }
        if (error != kCardSuccess) {
            FMessage = "Ошибка " + error;
            return false;
        }
        std::string sig =
            MemberText(answer, "sig", false, "В ответе службы ID-карты нет подписи (\"sig\")",
                       "Подпись в ответе службы ID-карты не является строкой");
        if (sig.empty())
            throw CardServiceError("Служба ID-карты вернула пустую подпись");
        FSignature = std::move(sig);
        return true;
    } catch (const std::exception& e) {
        FMessage = e.what();
        return false;
    }
}

int TIdCardBatchSigner::SignMultipleFile(TJobList& jobs) {
    TSignIdCard signer(jobs, FOptions);
    return signer.SignMultipleFile();
}

}  // namespace korvalo
