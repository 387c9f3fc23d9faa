#include "services/delivery/upload.h"

#include <curl/curl.h>

#include <filesystem>
#include <optional>

#include "core/digest.h"
#include "core/text.h"
#include "platform/net/curl_handles.h"
#include "platform/net/http_challenge.h"

namespace korvalo {

namespace {

constexpr std::string_view kCrLf = "\r\n";

void AppendPartHead(std::string& out, std::string_view boundary, std::string_view name) {
    out += "--";
    out += boundary;
    out += kCrLf;
    out += "Content-Disposition: form-data; name=\"";
    out += name;
    out += "\"";
}

void AppendPart(std::string& out, std::string_view boundary, std::string_view name,
                std::string_view content) {
    AppendPartHead(out, boundary, name);
    out += kCrLf;
    out += kCrLf;
    out += content;
    out += kCrLf;
}

// An echoed value as text: as it is when the request's values are text already, otherwise
// through DecodeUtf8Bytes (its characters stand for received bytes, or mix bytes with text as
// a batch document's escapes do).
std::string EchoedValue(std::string_view value, bool paramsAreText) {
    return paramsAreText ? std::string(value) : DecodeUtf8Bytes(value);
}

std::string FileNameOnly(std::string_view path) {
    return std::filesystem::path(std::string(path)).filename().string();
}

// The notifications of one upload, handed on to the outcome handlers. It remembers whether the
// proxy asked for credentials during this upload: only then is a 407 at the end the proxy's.
class UploadEvents : public IHttpClientEvents {
public:
    explicit UploadEvents(TUploadOutcome& outcome) : outcome_(outcome) {}

    void NetHTTPClient1AuthEvent(AuthTarget target, const std::string& realm,
                                 const std::string& url, std::string& userName,
                                 std::string& password, bool& abort) override {
        proxyAsked_ = proxyAsked_ || target == AuthTarget::Proxy;
        outcome_.NetHTTPClient1AuthEvent(target, realm, url, userName, password, abort);
    }
    void NetHTTPClient1RequestCompleted(int statusCode) override {
        outcome_.RequestCompleted(statusCode, statusCode == 407 && proxyAsked_);
    }
    void NetHTTPClient1RequestError(const std::string& error) override {
        outcome_.NetHTTPClient1RequestError(error);
    }
    void NetHTTPClient1ReceiveData(std::int64_t contentLength, std::int64_t readCount,
                                   bool& abort) override {
        outcome_.NetHTTPClient1ReceiveData(contentLength, readCount, abort);
    }
    void NetHTTPClient1NeedClientCertificate() override {
        outcome_.NetHTTPClient1NeedClientCertificate();
    }
    void NetHTTPClient1ValidateServerCertificate(const ServerCertificateInfo& certificate,
                                                 bool& accepted) override {
        outcome_.NetHTTPClient1ValidateServerCertificate(certificate, accepted);
    }

private:
    TUploadOutcome& outcome_;
    bool proxyAsked_ = false;
};

}  // namespace

std::string UploadBoundary(Clock::time_point when) {
    return Md5Hex(std::to_string(MillisecondsSinceLocalMidnight(when)));
}

std::string BuildMultipartHead(const std::vector<std::string>& paramList, bool paramsAreText,
                               std::string_view signature, std::string_view serverVersion,
                               std::string_view fileName, std::string_view boundary) {
    std::string head;
    for (const std::string& line : paramList) {
        const std::size_t eq = line.find('=');
        const std::string_view name =
            eq == std::string::npos ? std::string_view(line) : std::string_view(line).substr(0, eq);
        if (name == "crpt_message")
            continue;
        const std::string_view value =
            eq == std::string::npos ? std::string_view() : std::string_view(line).substr(eq + 1);
        AppendPart(head, boundary, name, UrlEncodeForm(EchoedValue(value, paramsAreText)));
    }
    AppendPart(head, boundary, "crpt_signature", signature);
    AppendPart(head, boundary, "korvaloVersion", UrlEncodeForm(serverVersion));
    AppendPartHead(head, boundary, "crpt_file");
    head += "; filename=\"";
    head += FileNameOnly(fileName);
    head += "\"";
    head += kCrLf;
    head += "Content-Type: application/x-macbinary";
    head += kCrLf;
    head += kCrLf;
    return head;
}

std::string MultipartTail(std::string_view boundary) {
    std::string tail(kCrLf);
    tail += "--";
    tail += boundary;
    tail += "--";
    tail += kCrLf;
    return tail;
}

HeaderList UploadHeaders(const std::string& userAgent, const std::string& cookie,
                         std::string_view boundary) {
    HeaderList headers{
        {"User-Agent", userAgent},
        {"Accept", "*/*"},
        {"Accept-Language", "ru-RU,ru;q=0.9,en;q=0.8"},
        {"Accept-Charset", "utf-8;q=0.7,*;q=0.3"},
    };
    if (!cookie.empty())
        headers.emplace_back("Cookie", cookie);
    headers.emplace_back("Connection", "Keep-Alive");
    headers.emplace_back("Content-Type", "multipart/form-data; boundary=" + std::string(boundary));
    return headers;
}

std::string UploadRecord(const std::string& url, const HeaderList& headers, std::size_t bodySize,
                         std::string_view head, Clock::time_point when) {
    const auto [host, port] = UrlHostAndPort(url);
    std::string record = "*--* " + TimeStamp(when) + "\r\n";
    record += "POST " + url + " HTTP/1.1\r\n";
    record += "Host: " + host + ":" + port + "\r\n";
    for (const auto& [name, value] : headers)
        record += name + ": " + value + "\r\n";
    record += "Content-Length: " + std::to_string(bodySize) + "\r\n\r\n";
    record += head;
    record += kCrLf;
    return record;
}

TSignatureUploader::TSignatureUploader(ILogSink& log, SettingsStore& settings,
                                       ProtocolFileGetter protocolFile, std::string serverVersion,
                                       TUploadOutcome& handlers, HttpClientOptions options)
    : log_(log),
      settings_(settings),
      protocolFile_(std::move(protocolFile)),
      serverVersion_(std::move(serverVersion)),
      handlers_(handlers),
      options_(options) {}

void TSignatureUploader::UploadSignature(const UploadJob& job) {
    const std::string boundary = UploadBoundary();
    const std::string head = BuildMultipartHead(job.paramList, job.paramsAreText, job.signature,
                                                serverVersion_, job.fileName, boundary);
    std::optional<MultipartFileBody> body;
    try {
        body.emplace(head, job.fileName, MultipartTail(boundary), job.signedContent);
    } catch (const UploadFileError& e) {
        log_.PrintInfo(LogLine(e.what()));
        throw;
    }

    const Settings settings = settings_.Snapshot();
    HttpPostRequest request;
    request.url = job.url;
    request.headers = UploadHeaders(job.userAgent, job.cookie, boundary);
    request.bodySource = &*body;
    request.proxy.host = settings.proxyAddress;
    request.proxy.port = settings.proxyPort;
    request.proxy.userName = settings.userName;
    request.proxy.password = settings.userPwd;

    log_.PrintInfo(LogLine("CS1: начата отправка данных на сервер"));
    UploadEvents events(handlers_);
    try {
        THttpClient(options_).Post(request, events);
    } catch (const UploadFileError& e) {
        log_.PrintInfo(LogLine(e.what()));
        throw;
    }

    if (settings_.Snapshot().debug && protocolFile_) {
        if (const std::shared_ptr<TMyFile> file = protocolFile_())
            file->WriteRecord(UploadRecord(job.url, request.headers, body->Size(), head));
    }
}

TDelivery::TDelivery(DeliveryServices services)
    : outcome_(services.log, services.settings, services.notifier, services.credentials,
               services.serverLogin, services.stage, std::move(services.settingsPath),
               std::move(services.unloadAvCryptMail)),
      uploader_(services.log, services.settings, std::move(services.protocolFile),
                std::move(services.serverVersion), outcome_, services.client) {}

}  // namespace korvalo
