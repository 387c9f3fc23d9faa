#pragma once
// The request dispatcher of the local endpoint: admits one signing procedure at a time, tells
// batch requests from form requests, runs the dialog or engine, uploads the result and answers
// the browser.

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "core/log_sink.h"
#include "core/paths.h"
#include "core/services.h"
#include "core/user_interface.h"
#include "core/version.h"
#include "services/endpoint/http_types.h"
#include "services/endpoint/request_fields.h"
#include "state/log/myfile.h"
#include "state/settings/settings.h"

namespace korvalo {

// Uploads that may run at once.
inline constexpr std::size_t kMaxUploads = 8;

// Everything the dispatcher works with. The references must outlive the dispatcher.
struct DispatcherServices {
    ILogSink& log;
    // The settings now; called once per request (settings may be reloaded at any time).
    std::function<Settings()> settings;
    // The protocol file, or nullptr while there is none (it is created after the endpoint
    // opens, and only in debug mode).
    std::function<std::shared_ptr<TMyFile>()> protocolFile;
    ISigningDialogs& dialogs;
    INotifier& notifier;  // the tray balloon
    IIdCardBatchSigner& idCard;
    ISignatureUploader& uploader;
    // Set to 1 right before each upload; the upload's outcome handling sets it back.
    std::atomic<int>& stage;
    // Folder of the temporary files, with a trailing "/"; created (one level, private to the
    // user) when missing, and used only while it stays private (OpenPrivateFolder).
    std::string tempFolder = KorvaloTempFolder();
    // Version text for the Server header and the busy page.
    std::string version = GetProgramVersion();
    // Requests that may hold an upload slot at once (from the claim of the gate to the end of
    // their upload); it must stay below the endpoint's handler threads, so that requests which
    // need no dialog and no upload always find a thread.
    std::size_t maxUploads = kMaxUploads;
};

// The signature in lines of 64 characters, each ended by CR LF (the last one holding the
// rest); a text that already holds CR LF is returned unchanged, an empty text stays empty.
std::string WrapSignature(std::string_view text);

// The handlers of the endpoint.
//
// The busy gate admits one procedure: a request tests it first (a closed gate gives the busy
// answer), parses into its own copy of the request fields, and claims the gate with one atomic
// step right before its dialog or engine; a request that loses the claim gets the busy answer.
// The same step claims one of maxUploads upload slots, held until the request has uploaded (or
// ended without upload): when none is free the request gets the busy answer before any dialog
// is shown, so no signature is made only to be dropped, and at most maxUploads handler threads
// are ever held by dialogs and uploads.
// Once it owns the gate its fields become the persistent ones (which the next request starts
// from); its upload and answer use its own copy, so requests that start after the gate has
// reopened cannot change them. Requests that never close the gate (missing addresses, a batch
// document without jobs, busy answers, other methods) leave the persistent fields as they are.
class RequestDispatcher : public IHttpHandlers {
public:
    explicit RequestDispatcher(DispatcherServices services);

    void IdHTTPServer1Connect(ConnectionContext& context) override;
    void IdHTTPServer1CommandGet(ConnectionContext& context, const HttpRequestInfo& request,
                                 HttpResponseInfo& response) override;
    void IdHTTPServer1CommandOther(ConnectionContext& context, const HttpRequestInfo& request,
                                   HttpResponseInfo& response) override;
    void IdHTTPServer1CommandError(ConnectionContext& context, const HttpRequestInfo& request,
                                   const std::string& message, HttpResponseInfo& response) override;
    void IdHTTPServer1Exception(ConnectionContext& context, const std::string& message) override;
    // Other methods, and the busy answer while the gate is closed.
    bool AnswerAtOnce(ConnectionContext& context, const HttpRequestInfo& request,
                      HttpResponseInfo& response) override;

    // enableSign: true while no signing procedure runs.
    bool SignEnabled() const { return enableSign_.load(); }
    // Upload slots held now.
    std::size_t UploadsRunning() const;
    // The persistent request fields.
    RequestFields Fields() const;

private:
    struct Request;
    class GateHolder;
    class SlotHolder;

    // Closes the gate and takes an upload slot, in one step; false (nothing taken) when the
    // gate is closed or no slot is free.
    [[nodiscard]] bool ClaimGate();
    void Publish(const RequestFields& fields);
    void BusyAnswer(const HttpRequestInfo& request, HttpResponseInfo& response);
    void FormPath(Request& r);
    void BatchPath(Request& r);
    void UploadAndAnswer(Request& r);
    void Redirect(Request& r);
    // Writes bytes into a new file of the temporary folder, named after the local date and
    // time (with "_2", "_3"... when that name is taken), and returns its path; the file is
    // removed when the request ends. A folder that may not be used is logged with the reason
    // and throws TempFolderError. logFolder: log the folder (the debug line "Temp: ").
    std::string WriteTempFile(Request& r, std::string_view extension, std::string_view bytes,
                              bool logFolder);

    DispatcherServices services_;
    const std::string busyPage_;         // the busy answer's page for a form request
    mutable std::mutex admissionMutex_;  // the claim of gate and slot
    std::atomic<bool> enableSign_{true};
    std::size_t uploads_ = 0;
    mutable std::mutex fieldsMutex_;
    RequestFields fields_;
};

}  // namespace korvalo
