#pragma once
// Services the request dispatcher calls besides the dialogs: the ID-card batch signer and the
// upload of a result. Their implementations live with the engines and the delivery.

#include <optional>
#include <string>
#include <vector>

#include "core/content_fingerprint.h"
#include "core/record_sign.h"

namespace korvalo {

// Signs a whole job list with the national ID card, without a dialog.
class IIdCardBatchSigner {
public:
    virtual ~IIdCardBatchSigner() = default;
    // Returns 1 when the last job was signed, 8 otherwise (also for an empty list); fills
    // sign or error of every job.
    [[nodiscard]] virtual int SignMultipleFile(TJobList& jobs) = 0;
};

// One result to deliver: what a request hands to the upload.
struct UploadJob {
    std::string url;                     // urlToAnswer
    std::string signature;               // crpt_signature: wrapped text, card text or "json"
    std::string fileName;                // the file sent as crpt_file
    std::vector<std::string> paramList;  // name=value lines echoed as parts
    std::string userAgent;               // the browser's User-Agent
    std::string cookie;                  // crpt_cookie
    // The values of paramList are text already (a form request that named its character
    // set); otherwise each character stands for a byte and they go through DecodeUtf8Bytes.
    bool paramsAreText = false;
    // What was signed when the file is the one the signature was made over: the upload then
    // sends the file only while it is exactly that content, and ends it unfinished otherwise.
    std::optional<ContentFingerprint> signedContent;
};

// Posts a result to the web service.
class ISignatureUploader {
public:
    virtual ~ISignatureUploader() = default;
    // Returns when the POST is over and its outcome has been handled. Throws when the file
    // cannot be opened (before anything is sent), and when it is not the signed content or
    // changes while it is sent (the body is then never completed); transport failures do not
    // throw.
    virtual void UploadSignature(const UploadJob& job) = 0;
};

}  // namespace korvalo
