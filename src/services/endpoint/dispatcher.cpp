#include "services/endpoint/dispatcher.h"

#include <optional>
#include <stdexcept>

#include "core/temp_files.h"
#include "core/text.h"
#include "core/timestamp.h"
#include "services/endpoint/answer_pages.h"
#include "services/endpoint/form_params.h"
#include "services/endpoint/job_document.h"
#include "state/log/log_lines.h"
#include "state/log/log_model.h"
#include "state/log/protocol_records.h"

namespace korvalo {

namespace {

bool IsJsonRequest(const HttpRequestInfo& request) {
    return EqualsNoCase(request.contentType, "application/json");
}

// Writes the head of a direct answer: the status line, the header lines, the CORS lines and
// the empty line.
void WriteDirectHead(HttpResponseInfo& response, std::string_view statusLine,
                     const std::vector<std::string>& headerLines) {
    response.WriteRawLine(statusLine);
    for (const std::string& line : headerLines)
        response.WriteRawLine(line);
    for (const auto& [name, value] : kCorsHeaders)
        response.WriteRawLine(std::string(name) + ": " + std::string(value));
    response.WriteRawLine("");
    response.headWritten = true;
}

}  // namespace

std::string WrapSignature(std::string_view text) {
    if (text.find("\r\n") != std::string_view::npos)
        return std::string(text);
    std::string out;
    out.reserve(text.size() + text.size() / 32 + 2);
    std::size_t inLine = 0;
    ForEachChar(text, [&](char32_t c) {
        AppendUtf8(out, c);
        if (++inLine == 64) {
            out += "\r\n";
            inLine = 0;
        }
    });
    if (inLine > 0)
        out += "\r\n";
    return out;
}

// One request on its way through the dispatcher.
struct RequestDispatcher::Request {
    const HttpRequestInfo& request;
    HttpResponseInfo& response;
    RequestFields fields;               // this request's own copy
    Settings settings;                  // as they were when the request arrived
    std::shared_ptr<TMyFile> protocol;  // present when debug records are written
    ScopedFileRemoval tempFile;         // the temporary file this request wrote, if any
    // What the file to upload holds: the bytes this request wrote, or the engine's account of
    // the file it signed. Nothing when neither is known (the upload then only sees that the file
    // does not change while it is sent).
    std::optional<ContentFingerprint> uploadContent;

    SigningOptions Options() const {
        SigningOptions options;
        options.certificateNum = fields.certificateNum;
        options.maxFileUpload = fields.maxFileUpload;
        options.useIdCard = fields.useIdCard;
        options.debug = settings.debug;
        options.avCrypt = settings.avCrypt;
        options.hashAlgOID = settings.hashAlgOID;
        options.pkcs11Modules = settings.pkcs11Modules;
        return options;
    }
};

// Owns the closed gate and opens it again however the procedure ends.
class RequestDispatcher::GateHolder {
public:
    explicit GateHolder(std::atomic<bool>& gate) : gate_(gate) {}
    ~GateHolder() { gate_.store(true); }
    GateHolder(const GateHolder&) = delete;
    GateHolder& operator=(const GateHolder&) = delete;

private:
    std::atomic<bool>& gate_;
};

// Owns an upload slot claimed with the gate and gives it back however the request ends.
class RequestDispatcher::SlotHolder {
public:
    explicit SlotHolder(RequestDispatcher& owner) : owner_(owner) {}
    ~SlotHolder() {
        std::lock_guard lock(owner_.admissionMutex_);
        --owner_.uploads_;
    }
    SlotHolder(const SlotHolder&) = delete;
    SlotHolder& operator=(const SlotHolder&) = delete;

private:
    RequestDispatcher& owner_;
};

RequestDispatcher::RequestDispatcher(DispatcherServices services)
    : services_(std::move(services)), busyPage_(BusyPage(services_.version)) {}

RequestFields RequestDispatcher::Fields() const {
    std::lock_guard lock(fieldsMutex_);
    return fields_;
}

bool RequestDispatcher::ClaimGate() {
    std::lock_guard lock(admissionMutex_);
    if (!enableSign_.load() || uploads_ >= services_.maxUploads)
        return false;
    enableSign_.store(false);
    ++uploads_;
    return true;
}

std::size_t RequestDispatcher::UploadsRunning() const {
    std::lock_guard lock(admissionMutex_);
    return uploads_;
}

void RequestDispatcher::Publish(const RequestFields& fields) {
    std::lock_guard lock(fieldsMutex_);
    fields_ = fields;
}

void RequestDispatcher::IdHTTPServer1Connect(ConnectionContext&) {
    EnforceLogLimit(services_.log);
}

bool RequestDispatcher::AnswerAtOnce(ConnectionContext& context, const HttpRequestInfo& request,
                                     HttpResponseInfo& response) {
    if (request.method != "GET" && request.method != "HEAD" && request.method != "POST") {
        IdHTTPServer1CommandOther(context, request, response);
        return true;
    }
    if (enableSign_.load())
        return false;
    BusyAnswer(request, response);
    return true;
}

void RequestDispatcher::IdHTTPServer1CommandGet(ConnectionContext&, const HttpRequestInfo& request,
                                                HttpResponseInfo& response) {
    Settings settings = services_.settings ? services_.settings() : Settings{};
    Request r{request, response, Fields(), std::move(settings), nullptr, {}, {}};
    r.fields.sUserAgent = ThroughCp1251(request.userAgent);
    // The signature and the file to upload are what this request makes itself: a request
    // that signs nothing (a login request, the companion mode, a failing dialog) must never
    // send the signature or the file of an earlier request, possibly to another service.
    r.fields.signature.clear();
    r.fields.fileName.clear();
    if (!enableSign_.load()) {
        BusyAnswer(request, response);
        return;
    }
    try {
        if (r.settings.debug && services_.protocolFile)
            r.protocol = services_.protocolFile();
        if (r.protocol) {
            r.protocol->WriteRecord(
                RequestRecord(request.requestLine, request.headerLines, request.params));
        }
        if (request.method == "POST")
            services_.log.PrintInfo(loglines::PostAdmitted(request.contentLength));
        r.fields.signMultipleFile = IsJsonRequest(request);
        if (r.fields.signMultipleFile)
            BatchPath(r);
        else
            FormPath(r);
    } catch (const std::exception&) {
        services_.log.PrintInfo(loglines::ExceptOnCommandGet());
    }
}

void RequestDispatcher::BusyAnswer(const HttpRequestInfo& request, HttpResponseInfo& response) {
    services_.log.PrintInfo(loglines::AlreadyExists());
    response.status = 499;
    response.location = request.referer;
    response.server = ServerHeader(services_.version);
    response.contentType = "text/html; charset=utf-8";
    response.body = IsJsonRequest(request) ? std::string(kBusyJsonBody) : busyPage_;
    WriteDirectHead(response, "HTTP/1.1 499 Client Closed Request", {});
}

void RequestDispatcher::FormPath(Request& r) {
    HttpResponseInfo& response = r.response;
    if (!ParseFormParams(r.request.params, r.request.paramsAreText, r.fields)) {
        services_.log.PrintInfo(loglines::MissingParameters());
        response.status = 301;
        response.location = r.request.referer;
        response.server = ServerHeader(services_.version);
        response.contentType = "text/html";
        response.charSet = "windows-1251";
        response.body = std::string(kMissingParamsBody);
        return;
    }
    if (!ClaimGate()) {
        BusyAnswer(r.request, r.response);
        return;
    }
    const SlotHolder slot(*this);
    {
        GateHolder gate(enableSign_);
        Publish(r.fields);
        RequestFields& f = r.fields;
        const SigningOptions options = r.Options();
        std::optional<int> code;
        try {
            if (!f.crpt_message.empty() || !f.crpt_login.empty()) {
                if (r.settings.debug)
                    services_.log.PrintInfo(loglines::MessageSigning());
                const std::string message = f.crpt_login.empty() ? ToCp1251(f.crpt_message) : "";
                f.fileName = WriteTempFile(r, ".htm", message, r.settings.debug);
                r.uploadContent = FingerprintOf(message);
                if (f.crpt_login.empty() && !r.settings.signatureKZ) {
                    code = services_.dialogs.ShowSignMsgDialog(options, f.fileName, f.signature,
                                                               f.noShow != "true");
                }
            } else if (!r.settings.signatureKZ) {
                std::optional<ContentFingerprint> signedContent;
                code = services_.dialogs.ShowSignFileDialog(options, f.fileName, f.signature, 2,
                                                            signedContent);
                if (code == kResultSigned)
                    r.uploadContent = signedContent;
            }
        } catch (const std::exception&) {
            // Goes on as if the dialog had returned: the upload runs with the current file
            // and signature.
        }
        if (code == kResultWindowClosed) {
            Publish(f);
            return;
        }
        if (code == kResultClosed) {
            Publish(f);
            Redirect(r);
            return;
        }
        if (f.useIdCard == 0)
            f.signature = WrapSignature(f.signature);
        Publish(f);
    }
    UploadAndAnswer(r);
}

void RequestDispatcher::BatchPath(Request& r) {
    HttpResponseInfo& response = r.response;
    std::optional<TJobDocument> document = ParseJobDocument(DecodeUtf8(r.request.body), r.fields);
    if (!document)
        throw std::runtime_error("the body is not a batch document");
    if (!document->jobs) {
        response.status = 200;
        response.location = r.request.referer;
        response.server = ServerHeader(services_.version);
        return;
    }
    if (r.settings.debug)
        services_.log.PrintInfo(loglines::ParsingParameters());
    if (!ClaimGate()) {
        BusyAnswer(r.request, r.response);
        return;
    }
    const SlotHolder slot(*this);
    int code = 0;
    {
        GateHolder gate(enableSign_);
        Publish(r.fields);
        RequestFields& f = r.fields;
        TJobList& jobs = *document->jobs;
        if (f.useIdCard != 0)
            code = services_.idCard.SignMultipleFile(jobs);
        else
            code = services_.dialogs.ShowSignFilesDialog(r.Options(), jobs, f.certificateNum);
        if (code == kResultWindowClosed)
            return;
        if (code == kResultSigned) {
            const std::string answer = BatchAnswerJson(f, jobs);
            f.paramList = std::move(document->pairs);
            f.paramsAreText = false;
            f.signature = "json";
            f.fileName = WriteTempFile(r, ".txt", answer, false);
            r.uploadContent = FingerprintOf(answer);
            Publish(f);
        }
    }
    document.reset();
    if (code == kResultSigned) {
        UploadAndAnswer(r);
        return;
    }
    response.status = 499;
    response.location = r.request.referer;
    response.server = ServerHeader(services_.version);
    response.contentType = "text/html; charset=utf-8";
    response.body = std::string(kBatchCancelledBody);
    WriteDirectHead(response, "HTTP/1.1 499 Client Closed Request", {});
}

void RequestDispatcher::UploadAndAnswer(Request& r) {
    const RequestFields& f = r.fields;
    services_.stage.store(1);
    services_.uploader.UploadSignature(UploadJob{f.urlToAnswer, f.signature, f.fileName,
                                                 f.paramList, f.sUserAgent, f.crpt_cookie,
                                                 f.paramsAreText, r.uploadContent});
    HttpResponseInfo& response = r.response;
    response.contentType = "text/html";
    response.charSet = "windows-1251";
    response.body = RedirectPage(f.urlToRedirect);
    const std::string server = ServerHeader(services_.version);
    WriteDirectHead(response, "HTTP/1.1 200 OK", {"Server: " + server});
    if (r.protocol) {
        std::vector<std::string> head = {"HTTP/1.1 200 OK", "Server: " + server};
        for (const auto& [name, value] : kCorsHeaders)
            head.push_back(std::string(name) + "=" + std::string(value));
        r.protocol->WriteRecord(AnswerRecord(head, response.body));
    }
}

void RequestDispatcher::Redirect(Request& r) {
    SendRedirectPage(r.response, r.fields.urlToRedirect,
                     RedirectServices{services_.log, services_.notifier, r.protocol,
                                      r.settings.debug, services_.version});
}

std::string RequestDispatcher::WriteTempFile(Request& r, std::string_view extension,
                                             std::string_view bytes, bool logFolder) {
    const std::string& folder = services_.tempFolder;
    UniqueFd folderFd;
    try {
        folderFd = OpenPrivateFolder(folder);
    } catch (const TempFolderError& e) {
        services_.log.PrintInfo(loglines::TempFolderRefused(folder, e.what()));
        throw;
    }
    if (logFolder)
        services_.log.PrintInfo(loglines::TempFolder(folder));
    CreatedFile file = CreateExclusiveFile(folderFd.get(), folder, TempFileStem(), extension);
    r.tempFile = ScopedFileRemoval(file.path);
    WriteAndClose(file, bytes);
    return file.path;
}

void RequestDispatcher::IdHTTPServer1CommandOther(ConnectionContext&,
                                                  const HttpRequestInfo& request,
                                                  HttpResponseInfo& response) {
    services_.log.PrintInfo(loglines::CommandOther());
    response.status = 200;
    response.server = ServerHeader(services_.version);
    response.location = request.referer;
    for (const auto& [name, value] : kCorsHeaders)
        response.extraHeaders.emplace_back(name, value);
}

void RequestDispatcher::IdHTTPServer1CommandError(ConnectionContext&, const HttpRequestInfo&,
                                                  const std::string& message, HttpResponseInfo&) {
    services_.log.PrintInfo(loglines::HandlerError(message));
}

void RequestDispatcher::IdHTTPServer1Exception(ConnectionContext&, const std::string& message) {
    services_.log.PrintInfo(loglines::ConnectionException(message));
}

}  // namespace korvalo
