#pragma once
// The HTML pages of the demo service: the start page with the four signing actions and the
// result page of one request.

#include <nlohmann/json.hpp>
#include <string>

#include "request_book.h"

namespace korvalo::demo {

// The message the page offers to sign: Cyrillic text with a little HTML markup, every
// character of it in code page 1251.
extern const char* const kDefaultMessage;

// requests: the book's JSON list; the latest ones are listed on the page.
std::string IndexPage(const std::string& korvaloUrl, const nlohmann::ordered_json& requests);

std::string ResultPage(const IssuedRequest& request);
std::string NotFoundPage(const std::string& text);

}  // namespace korvalo::demo
