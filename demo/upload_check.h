#pragma once
// Checks one upload that Korvalo posted for an issued request: reads the multipart body, the
// echoed fields, the signature and the signed file (or the batch answer), verifies every
// signature against what the service asked to be signed, and returns the report as JSON.

#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>

#include "cms_check.h"
#include "request_book.h"

namespace korvalo::demo {

// An upload that lacks a part every upload has (crpt_signature, crpt_file).
class UploadError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct UploadInput {
    std::string contentType;
    std::optional<std::string> cookie;  // the Cookie header; nothing when absent
    std::string userAgent;
    std::string body;
};

// Throws MultipartError for a body that is not multipart/form-data and UploadError for one
// without the parts of an upload. Everything else (bad signatures, a wrong file, a batch answer
// that cannot be read) goes into the report, whose "ok" is then false.
nlohmann::ordered_json CheckUpload(const IssuedRequest& request, const UploadInput& input,
                                   const SignatureChecker& checker);

// How a Base64 signature text is laid out: "lines64" (lines of 64 characters, each ended by
// CR LF), "oneLine" (no line break), "other".
std::string SignatureLayout(const std::string& text);

}  // namespace korvalo::demo
