#pragma once
// The upload body as the HTTP client reads it: the multipart head, the file's bytes read from
// disk as they are asked for, then the tail, with the length known before the first byte. Only
// a piece of the file is in memory at a time, whatever its size.

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

#include "core/content_fingerprint.h"
#include "core/steady_file.h"
#include "platform/net/http_client.h"

namespace korvalo {

// An upload ended because of its file after it was announced: the file is not (or no longer)
// the one that was signed, changed while it was sent, or could not be read to its end. The
// text says so in the user's words.
class UploadFileError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class MultipartFileBody : public IHttpBodySource {
public:
    // Opens fileName, a regular file. signedContent, when given, is what was signed: the file
    // must have its length, and the bytes sent must have its fingerprint. Throws
    // std::runtime_error ("Cannot open file ...") when the file cannot be opened or is no
    // regular file, and UploadFileError when its length is not the signed content's; nothing is
    // sent then.
    MultipartFileBody(std::string head, const std::string& fileName, std::string tail,
                      std::optional<ContentFingerprint> signedContent = std::nullopt);

    // The head's, the file's (as it was opened) and the tail's lengths together.
    std::uint64_t Size() const override;
    // The head, then the file's bytes, then the tail. At the end of the file, before any byte
    // of the tail, the file must be unchanged since it was opened and its bytes those signed;
    // otherwise UploadFileError is thrown and the body never completes. UploadFileError also
    // when the file cannot be read.
    std::size_t Read(char* buffer, std::size_t capacity) override;
    void Rewind() override;

private:
    enum class Phase { Head, File, Tail, Done };

    // At the end of the file's bytes: throws unless they are whole, unchanged and signed.
    void CheckFileEnd();
    [[noreturn]] void ThrowReadFailure() const;

    std::string head_;
    std::string tail_;
    std::string fileName_;
    SteadyFileReader reader_;
    std::optional<ContentFingerprint> signedContent_;
    std::optional<FingerprintBuilder> fingerprint_;  // of the bytes sent, with signedContent_
    Phase phase_ = Phase::Head;
    std::size_t offset_ = 0;  // within the head or the tail
};

}  // namespace korvalo
