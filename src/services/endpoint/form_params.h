#pragma once
// Reading a form request's parameters into the request fields.

#include <string>
#include <string_view>
#include <vector>

#include "services/endpoint/request_fields.h"

namespace korvalo {

// The value of the first parameter line named name (without regard to case): the text after
// the first "=". Lines without "=" have no name. Empty when there is none.
std::string ParamValue(const std::vector<std::string>& params, std::string_view name);

// Fills the form fields of fields from the decoded parameter lines (urlToAnswer,
// urlToRedirect, crpt_cookie, crpt_login, certificateNum with "+" as blanks, maxFileUpload,
// crpt_message in the single-byte code page, noshow lower-cased, useIdCard) and replaces
// paramList by every line, split again at line breaks. paramsAreText tells whether the values
// are text already (the request named its character set): crpt_message is then taken as it
// is, otherwise through DecodeUtf8Bytes; the flag is kept in fields for the upload's echo.
// beanName, beanMethod and idUser stay as they are. True when urlToAnswer and urlToRedirect
// are both non-empty.
[[nodiscard]] bool ParseFormParams(const std::vector<std::string>& params, bool paramsAreText,
                                   RequestFields& fields);

}  // namespace korvalo
