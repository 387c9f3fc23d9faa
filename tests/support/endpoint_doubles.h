#pragma once
// Test doubles for the endpoint: scripted signing dialogs that can block until released, a
// recording uploader and an ID-card signer (the recording log and notifier come from
// support/recording_doubles.h).

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/log_sink.h"
#include "core/services.h"
#include "core/user_interface.h"
#include "support/recording_doubles.h"

namespace korvalo::testing {

// One call of a signing dialog or of the ID-card signer, as recorded.
struct DialogCall {
    std::string kind;  // "msg", "file", "files", "idcard"
    SigningOptions options;
    std::string fileName;
    std::string fileContent;  // the message file's bytes when the dialog was called
    bool showMessage = false;
    int mode = 0;
    std::string preselect;
    std::size_t jobCount = 0;
    std::vector<std::string> jobIds;
    std::vector<std::string> jobData;
};

// What a scripted dialog does when called.
struct DialogScript {
    int code = kResultSigned;
    std::string signature{};   // set on code 1
    std::string chosenFile{};  // file dialog: the file the user picks (code 1)
    std::optional<ContentFingerprint> signedContent{};  // file dialog: what was signed (code 1)
    std::vector<std::string> jobSigns{};                // batch: the signature for each job
    std::vector<std::string> jobErrors{};
    // batch: when set, signs the jobs itself (instead of jobSigns and jobErrors) and gives the
    // code
    std::function<int(TJobList&)> signJobs{};
    bool throwError = false;  // throws std::runtime_error instead of returning
    bool block = false;       // waits until Release()
};

// The dialogs and the ID-card signer; each call takes the next script (the default script
// when none is queued).
class ScriptedDialogs : public ISigningDialogs, public IIdCardBatchSigner {
public:
    void Queue(DialogScript script);
    void SetDefault(DialogScript script);
    // Lets blocked calls return (and every later blocking call return at once).
    void Release();
    // Waits until n calls are blocked.
    bool WaitBlocked(int n, std::chrono::milliseconds timeout = std::chrono::seconds(20));

    int ShowSignMsgDialog(const SigningOptions& options, const std::string& fileName,
                          std::string& signature, bool showMessage) override;
    int ShowSignFileDialog(const SigningOptions& options, std::string& fileName,
                           std::string& signature, int mode,
                           std::optional<ContentFingerprint>& signedContent) override;
    int ShowSignFilesDialog(const SigningOptions& options, TJobList& jobs,
                            const std::string& preselect) override;
    int SignMultipleFile(TJobList& jobs) override;

    std::vector<DialogCall> Calls() const;

private:
    DialogScript Next(DialogCall call);
    int Batch(DialogCall call, TJobList& jobs);

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<DialogScript> queue_;
    DialogScript default_;
    std::vector<DialogCall> calls_;
    bool released_ = false;
    int blocked_ = 0;
};

// Records every upload with the bytes of its file; can throw or block.
class RecordingUploader : public ISignatureUploader {
public:
    struct Upload {
        UploadJob job;
        std::string fileContent;
        int stage = 0;  // the stage value when the upload ran
    };
    explicit RecordingUploader(std::atomic<int>* stage = nullptr) : stage_(stage) {}
    void UploadSignature(const UploadJob& job) override;
    std::vector<Upload> Uploads() const;
    std::atomic<bool> throwError{false};
    // Called inside UploadSignature (after recording), e.g. to block or to send requests.
    std::function<void(const UploadJob&)> during;

private:
    std::atomic<int>* stage_;
    mutable std::mutex mutex_;
    std::vector<Upload> uploads_;
};

}  // namespace korvalo::testing
