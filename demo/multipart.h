#pragma once
// Reads a multipart/form-data body: the boundary from the Content-Type value, then each part's
// headers and content bytes.

#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace korvalo::demo {

// A body that is not well-formed multipart/form-data; what() says what is wrong.
class MultipartError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct MultipartPart {
    std::string name;      // the "name" parameter of Content-Disposition
    std::string fileName;  // the "filename" parameter; empty when absent
    bool hasFileName = false;
    std::string contentType;  // the part's Content-Type; empty when absent
    std::string content;      // the content bytes, unchanged
};

struct MultipartLimits {
    std::size_t maxParts = 1000;
    std::size_t maxHeaderBytes = 8192;  // the header block of one part
};

// The boundary parameter of a "multipart/form-data; boundary=..." value (quoted or not).
// Throws MultipartError when the type is another one or the boundary is missing or invalid.
std::string MultipartBoundary(std::string_view contentType);

// Splits the body at the boundary. A preamble before the first boundary and an epilogue after
// the closing one are ignored; a body without the closing boundary is an error.
std::vector<MultipartPart> ParseMultipart(std::string_view body, std::string_view boundary,
                                          const MultipartLimits& limits = {});

}  // namespace korvalo::demo
