#pragma once
// The JSON batch request document, its job list, and the batch answer sent back as a file.

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "core/record_sign.h"
#include "services/endpoint/request_fields.h"

namespace korvalo {

// The parsed batch document.
struct TJobDocument {
    // Every member other than "files", in document order, as name=value text (not converted).
    std::vector<std::string> pairs;
    // The jobs of the last "files" member; absent when the document has members but none named
    // "files"; empty for the empty object and for an empty "files" array.
    std::optional<TJobList> jobs;
};

// An element of "files" that is not an object: the whole request fails.
class JobDocumentError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Nesting deeper than this makes a document unreadable.
inline constexpr std::size_t kMaxJsonDepth = 512;

// Parses the request body, decoded as UTF-8 (invalid sequences as U+FFFD). Numbers keep the
// text they are written as ("-0", "1E400", "1.50"); the escape of a lone UTF-16 surrogate
// reads as U+FFFD. Returns nothing when it is not a JSON object (also when truncated or
// nested deeper than kMaxJsonDepth) or when a "files" member is not an array. The document
// alone sets the fields below: those it does not name take their start-up values, never those
// of an earlier request (which may have come from another site's page). Fills the fields the
// document names: urlToAnswer, urlToRedirect, crpt_cookie and certificateNum through
// DecodeUtf8Bytes; beanName, beanMethod and idUser through DecodeUtf8Bytes and the single-byte
// code page; maxFileUpload as an integer (20000000 when not a number); useIdCard through
// DecodeUtf8Bytes as an integer (0 when not a number). Throws JobDocumentError for a "files"
// element that is not an object. Elements without "id" or "data64" are left out.
[[nodiscard]] std::optional<TJobDocument> ParseJobDocument(std::string_view text,
                                                           RequestFields& fields);

// The batch answer: {"urlToAnswer":..,"urlToRedirect":..,"crpt_cookie":..,"beanName":..,
// "beanMethod":..,"idUser":..,"files":[{"id":..,"signature":..,"error":..},..]} with no blanks
// between tokens; inside strings only the double quote is escaped (as \"), every other
// character, CR LF and backslashes included, is written as it is.
std::string BatchAnswerJson(const RequestFields& fields, const TJobList& jobs);

}  // namespace korvalo
