#pragma once
// The records Korvalo appends to the protocol file, built as text (the writer converts them to
// the single-byte code page). Size numbers count characters of the text.

#include <string>
#include <vector>

#include "core/timestamp.h"

namespace korvalo {

// "*** " t " size: " n CRLF body CRLF, where body is the request line, CRLF, the header lines
// each followed by CRLF, CRLF, the parameter lines (each followed by CRLF) URL-encoded as one
// text, CRLF.
std::string RequestRecord(const std::string& requestLine,
                          const std::vector<std::string>& headerLines,
                          const std::vector<std::string>& paramLines,
                          Clock::time_point when = Clock::now());

// "*--* " t " size: " n CRLF head CRLF page CRLF, where head is the head lines each followed by
// CRLF (header lines as name=value) and n counts head and page.
std::string AnswerRecord(const std::vector<std::string>& headLines, const std::string& page,
                         Clock::time_point when = Clock::now());

// "*--* " t " size: " n CRLF page CRLF.
std::string RedirectRecord(const std::string& page, Clock::time_point when = Clock::now());

}  // namespace korvalo
