#pragma once
// Reads the batch answer document that Korvalo uploads as the file of a batch request.
//
// Korvalo writes it without blanks, with string values only, and escapes nothing but the
// double quote (as \"): line breaks of the signatures, other control characters and
// backslashes stand in the strings as they are. The reader turns that text into standard JSON
// before parsing it. A value that ends in a backslash cannot be told from an escaped quote;
// the reader takes \" as a quote.

#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace korvalo::demo {

class BatchAnswerError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct BatchAnswerEntry {
    std::string id;
    std::string signature;  // Base64 text as Korvalo sent it (its CR LF line breaks included)
    std::string error;      // Korvalo's failure text for this document; empty when none
};

struct BatchAnswer {
    nlohmann::ordered_json members;  // every member but "files", as strings
    std::vector<BatchAnswerEntry> files;
};

// Rewrites the answer text as standard JSON (see above).
std::string BatchAnswerToJson(std::string_view text);

// Parses the answer. Throws BatchAnswerError when it is not an object, when "files" is missing
// or not an array of objects, or when an entry has no "id".
BatchAnswer ParseBatchAnswer(std::string_view text);

}  // namespace korvalo::demo
