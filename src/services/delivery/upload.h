#pragma once
// The upload of a signing result to the web service: the multipart body, its header list, its
// protocol record, and the uploader that posts them.

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/log_sink.h"
#include "core/services.h"
#include "core/timestamp.h"
#include "platform/net/http_client.h"
#include "services/delivery/upload_body.h"
#include "services/delivery/upload_outcome.h"
#include "state/log/myfile.h"
#include "state/settings/settings.h"

namespace korvalo {

using HeaderList = std::vector<std::pair<std::string, std::string>>;

// The multipart boundary: MD5, as 32 lower-case hexadecimal digits, of the decimal text of the
// milliseconds elapsed since the last local midnight.
std::string UploadBoundary(Clock::time_point when = Clock::now());

// Everything of the body before the file's bytes, as UTF-8 text (B the boundary):
// - for every line of paramList in order whose name (the text before the first "=", the whole
//   line when there is none) is not exactly "crpt_message":
//   "--B" CRLF "Content-Disposition: form-data; name="<name>"" CRLF CRLF <value> CRLF, the
//   value being the text after the first "=", through DecodeUtf8Bytes unless paramsAreText
//   (the values are text already), then UrlEncodeForm; the name unchanged;
// - the part "crpt_signature" with signature unchanged;
// - the part "korvaloVersion" with serverVersion URL-encoded;
// - the head of "crpt_file": filename = fileName without its folder,
//   "Content-Type: application/x-macbinary", and the empty line.
std::string BuildMultipartHead(const std::vector<std::string>& paramList, bool paramsAreText,
                               std::string_view signature, std::string_view serverVersion,
                               std::string_view fileName, std::string_view boundary);

// What follows the file's bytes: CRLF "--B--" CRLF.
std::string MultipartTail(std::string_view boundary);

// The request's headers in their order: User-Agent, Accept, Accept-Language, Accept-Charset,
// Cookie (only when cookie is not empty), Connection, Content-Type with the boundary.
HeaderList UploadHeaders(const std::string& userAgent, const std::string& cookie,
                         std::string_view boundary);

// The protocol record of an upload (text; the writer converts it to code page 1251):
// "*--* " t CRLF, "POST " url " HTTP/1.1" CRLF, "Host: " host ":" port-as-written CRLF, the
// headers as "name: value" CRLF, "Content-Length: " n CRLF CRLF, the multipart head, CRLF.
std::string UploadRecord(const std::string& url, const HeaderList& headers, std::size_t bodySize,
                         std::string_view head, Clock::time_point when = Clock::now());

// Posts a signing result (ISignatureUploader) with the proxy of the running settings, logs
// the start, and appends the protocol record when "debug" is on. The client's notifications go
// to handlers (the main window's TUploadOutcome); a 407 completion counts as the proxy's
// refusal only when the proxy asked for credentials during this upload (any other 407 is the
// web server's answer and a completed delivery).
class TSignatureUploader : public ISignatureUploader {
public:
    // The protocol file of this run, or nullptr when there is none.
    using ProtocolFileGetter = std::function<std::shared_ptr<TMyFile>()>;

    // Every reference must outlive this object.
    TSignatureUploader(ILogSink& log, SettingsStore& settings, ProtocolFileGetter protocolFile,
                       std::string serverVersion, TUploadOutcome& handlers,
                       HttpClientOptions options = {});

    // Opens the file (throws before anything is sent or logged when it cannot be opened), logs
    // " ---> CS1: начата отправка данных на сервер" and posts the body, reading the file as it
    // goes; when it returns, the completion or error handler has run. A file that is not the
    // signed content (job.signedContent), changes while it is sent or cannot be read to its
    // end ends the upload unfinished: its text is logged and UploadFileError thrown, and
    // neither handler runs. Throws only what the file, the handlers or the protocol file throw.
    void UploadSignature(const UploadJob& job) override;

private:
    ILogSink& log_;
    SettingsStore& settings_;
    ProtocolFileGetter protocolFile_;
    const std::string serverVersion_;
    TUploadOutcome& handlers_;
    const HttpClientOptions options_;
};

// What the main window hands the delivery. The references must outlive it.
struct DeliveryServices {
    ILogSink& log;
    SettingsStore& settings;
    INotifier& notifier;              // the balloon and the cannot-connect message box
    ICredentialsPrompt& credentials;  // the proxy login dialog
    IServerLoginPrompt& serverLogin;  // the web server's login prompt
    std::atomic<int>& stage;          // set to 1 by the dispatcher before each upload
    std::string settingsPath;         // the main settings file (credentials are stored there)
    TSignatureUploader::ProtocolFileGetter protocolFile;
    std::function<void()> unloadAvCryptMail;  // unloads the Avest library when it is loaded
    std::string serverVersion;
    HttpClientOptions client = {};
};

// The upload as the dispatcher's ISignatureUploader: the uploader with its outcome handlers.
class TDelivery : public ISignatureUploader {
public:
    explicit TDelivery(DeliveryServices services);

    void UploadSignature(const UploadJob& job) override { uploader_.UploadSignature(job); }
    TUploadOutcome& Outcome() { return outcome_; }

private:
    TUploadOutcome outcome_;
    TSignatureUploader uploader_;
};

}  // namespace korvalo
