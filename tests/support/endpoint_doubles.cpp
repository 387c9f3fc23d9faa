#include "support/endpoint_doubles.h"

#include <stdexcept>

#include "support/files.h"

namespace korvalo::testing {

void ScriptedDialogs::Queue(DialogScript script) {
    std::lock_guard lock(mutex_);
    queue_.push_back(std::move(script));
}

void ScriptedDialogs::SetDefault(DialogScript script) {
    std::lock_guard lock(mutex_);
    default_ = std::move(script);
}

void ScriptedDialogs::Release() {
    std::lock_guard lock(mutex_);
    released_ = true;
    changed_.notify_all();
}

bool ScriptedDialogs::WaitBlocked(int n, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return blocked_ >= n; });
}

DialogScript ScriptedDialogs::Next(DialogCall call) {
    std::unique_lock lock(mutex_);
    calls_.push_back(std::move(call));
    DialogScript script = default_;
    if (!queue_.empty()) {
        script = std::move(queue_.front());
        queue_.pop_front();
    }
    if (script.block) {
        ++blocked_;
        changed_.notify_all();
        changed_.wait(lock, [&] { return released_; });
        --blocked_;
    }
    if (script.throwError)
        throw std::runtime_error("dialog failed");
    return script;
}

int ScriptedDialogs::ShowSignMsgDialog(const SigningOptions& options, const std::string& fileName,
                                       std::string& signature, bool showMessage) {
    DialogCall call;
    call.kind = "msg";
    call.options = options;
    call.fileName = fileName;
    call.fileContent = ReadBytesOrEmpty(fileName);
    call.showMessage = showMessage;
    const DialogScript script = Next(std::move(call));
    if (script.code == kResultSigned)
        signature = script.signature;
    return script.code;
}

int ScriptedDialogs::ShowSignFileDialog(const SigningOptions& options, std::string& fileName,
                                        std::string& signature, int mode,
                                        std::optional<ContentFingerprint>& signedContent) {
    DialogCall call;
    call.kind = "file";
    call.options = options;
    call.fileName = fileName;
    call.mode = mode;
    const DialogScript script = Next(std::move(call));
    if (script.code == kResultSigned) {
        fileName = script.chosenFile;
        signature = script.signature;
        signedContent = script.signedContent;
    }
    return script.code;
}

int ScriptedDialogs::Batch(DialogCall call, TJobList& jobs) {
    call.jobCount = jobs.size();
    for (const TRecordSign& job : jobs) {
        call.jobIds.push_back(job.id);
        call.jobData.push_back(job.pData);
    }
    const DialogScript script = Next(std::move(call));
    if (script.signJobs)
        return script.signJobs(jobs);
    for (std::size_t i = 0; i < jobs.size(); ++i) {
        if (i < script.jobSigns.size())
            jobs[i].sign = script.jobSigns[i];
        if (i < script.jobErrors.size())
            jobs[i].error = script.jobErrors[i];
    }
    return script.code;
}

int ScriptedDialogs::ShowSignFilesDialog(const SigningOptions& options, TJobList& jobs,
                                         const std::string& preselect) {
    DialogCall call;
    call.kind = "files";
    call.options = options;
    call.preselect = preselect;
    return Batch(std::move(call), jobs);
}

int ScriptedDialogs::SignMultipleFile(TJobList& jobs) {
    DialogCall call;
    call.kind = "idcard";
    return Batch(std::move(call), jobs);
}

std::vector<DialogCall> ScriptedDialogs::Calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
}

void RecordingUploader::UploadSignature(const UploadJob& job) {
    {
        std::lock_guard lock(mutex_);
        uploads_.push_back({job, ReadBytesOrEmpty(job.fileName), stage_ ? stage_->load() : 0});
    }
    if (during)
        during(job);
    if (throwError)
        throw std::runtime_error("Cannot open file " + job.fileName);
}

std::vector<RecordingUploader::Upload> RecordingUploader::Uploads() const {
    std::lock_guard lock(mutex_);
    return uploads_;
}

}  // namespace korvalo::testing
