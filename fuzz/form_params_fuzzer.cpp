// Form parameters as a page sends them: the query string or form body decoded in a character
// set, then read into the request fields.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "core/text.h"
#include "services/endpoint/form_params.h"
#include "services/endpoint/http_params.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    static constexpr const char* kCharsets[] = {"", "utf-8", "windows-1251", "iso-8859-1",
                                                "koi8-r"};
    const char* charset = kCharsets[data[0] % 5];
    const std::string_view encoded(reinterpret_cast<const char*>(data + 1), size - 1);
    std::vector<std::string> params;
    try {
        params = korvalo::DecodeFormParams(encoded, charset);
    } catch (const korvalo::InvalidPercentEscape&) {
        return 0;
    }
    korvalo::RequestFields fields;
    // A known character set makes the values text; without one they are bytes.
    const bool paramsAreText = data[0] % 5 >= 1 && data[0] % 5 <= 3;
    const bool complete = korvalo::ParseFormParams(params, paramsAreText, fields);
    if (complete != (!fields.urlToAnswer.empty() && !fields.urlToRedirect.empty()))
        std::abort();
    // Every echoed line is one line: the lines hold no line break.
    for (const std::string& line : fields.paramList) {
        if (line.find_first_of("\r\n") != std::string::npos)
            std::abort();
    }
    // The message went through the single-byte code page: it survives the round trip.
    if (korvalo::ThroughCp1251(fields.crpt_message) != fields.crpt_message)
        std::abort();
    return 0;
}
