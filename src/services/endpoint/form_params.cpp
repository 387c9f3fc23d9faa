#include "services/endpoint/form_params.h"

#include <cstdint>

#include "core/text.h"

namespace korvalo {

namespace {

// Decimal, or hexadecimal after "$"; anything else gives 0.
int IntegerOrZero(const std::string& text) {
    std::int32_t value = 0;
    return ParseInteger(text, value, /*allowHexPrefix0x=*/false) ? value : 0;
}

}  // namespace

std::string ParamValue(const std::vector<std::string>& params, std::string_view name) {
    for (const std::string& line : params) {
        const std::size_t eq = line.find('=');
        if (eq != std::string::npos && EqualsNoCase(std::string_view(line).substr(0, eq), name))
            return line.substr(eq + 1);
    }
    return {};
}

bool ParseFormParams(const std::vector<std::string>& params, bool paramsAreText,
                     RequestFields& fields) {
    fields.urlToAnswer = ParamValue(params, "urlToAnswer");
    fields.urlToRedirect = ParamValue(params, "urlToRedirect");
    fields.crpt_cookie = ParamValue(params, "crpt_cookie");
    fields.crpt_login = ParamValue(params, "crpt_login");
    fields.certificateNum = ReplaceAll(ParamValue(params, "certificateNum"), "+", " ");
    fields.maxFileUpload = IntegerOrZero(ParamValue(params, "maxFileUpload"));
    const std::string message = ParamValue(params, "crpt_message");
    fields.crpt_message = ThroughCp1251(paramsAreText ? message : DecodeUtf8Bytes(message));
    fields.noShow = ToLowerAscii(ParamValue(params, "noshow"));
    fields.useIdCard = IntegerOrZero(ParamValue(params, "useIdCard"));

    std::string text;
    for (const std::string& line : params) {
        text += line;
        text += "\r\n";
    }
    fields.paramList = SplitLines(text);
    fields.paramsAreText = paramsAreText;
    return !fields.urlToAnswer.empty() && !fields.urlToRedirect.empty();
}

}  // namespace korvalo
