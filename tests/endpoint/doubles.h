#pragma once
// Test doubles for the endpoint: a recording activity log, scripted signing dialogs that can
// block until released, a recording uploader, an ID-card signer and a balloon recorder.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "core/log_sink.h"
#include "core/services.h"
#include "core/user_interface.h"

namespace korvalo::testing {

// Keeps every line; LogLength counts characters plus CR LF per line like the log control.
class RecordingLog : public ILogSink {
public:
    void PrintInfo(const std::string& text) override;
    void ClearInfo() override;
    std::size_t LogLength() const override;

    std::vector<std::string> Lines() const;
    int Clears() const;
    // Waits until a line containing text has been written.
    bool WaitFor(const std::string& text,
                 std::chrono::milliseconds timeout = std::chrono::seconds(20));
    // Lines with the time stamp (the first 8 characters) cut off.
    std::vector<std::string> Texts() const;
    // PrintInfo throws std::runtime_error for a line containing this text (when not empty).
    void ThrowOn(std::string text);
    // Pads the log to the given length in characters.
    void Fill(std::size_t length);

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::string throwOn_;
    std::vector<std::string> lines_;
    std::size_t length_ = 0;
    int clears_ = 0;
};

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
    std::string signature{};              // set on code 1
    std::string chosenFile{};             // file dialog: the file the user picks (code 1)
    std::vector<std::string> jobSigns{};  // batch: the signature for each job
    std::vector<std::string> jobErrors{};
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
                           std::string& signature, int mode) override;
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

class RecordingNotifier : public INotifier {
public:
    void ShowBalloon(const std::string& text) override;
    void ShowMessageBox(const std::string& text, const std::string& caption, Icon icon) override;
    std::vector<std::string> Balloons() const;

private:
    mutable std::mutex mutex_;
    std::vector<std::string> balloons_;
};

}  // namespace korvalo::testing
