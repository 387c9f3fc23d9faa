#include "services/endpoint/http_request.h"

#include <charconv>
#include <string>
#include <string_view>

#include "core/text.h"
#include "services/endpoint/http_params.h"

namespace korvalo {

namespace http = boost::beast::http;

namespace {

std::int64_t ParseContentLength(std::string_view text) {
    std::int64_t value = -1;
    const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || ptr != text.data() + text.size())
        return -1;
    return value;
}

}  // namespace

HttpRequestInfo MakeRequestInfo(http::request<http::string_body>& req) {
    HttpRequestInfo info;
    info.method = std::string(req.method_string());
    const std::string target(req.target());
    info.requestLine =
        FromLatin1(info.method + " " + target + " HTTP/" + std::to_string(req.version() / 10) +
                   "." + std::to_string(req.version() % 10));
    for (const auto& field : req) {
        info.headerLines.push_back(
            FromLatin1(std::string(field.name_string()) + ": " + std::string(field.value())));
    }
    info.contentType = FromLatin1(req[http::field::content_type]);
    info.userAgent = FromLatin1(req[http::field::user_agent]);
    info.referer = FromLatin1(req[http::field::referer]);
    if (req.find(http::field::content_length) != req.end())
        info.contentLength = ParseContentLength(req[http::field::content_length]);
    info.body = std::move(req.body());

    const std::size_t question = target.find('?');
    const std::string query = question == std::string::npos ? "" : target.substr(question + 1);
    std::string encoded = query;
    if (info.method == "POST" &&
        EqualsNoCase(ContentTypeMedia(info.contentType), "application/x-www-form-urlencoded")) {
        encoded = info.body;
        if (!query.empty()) {
            if (!encoded.empty())
                encoded += "&";
            encoded += query;
        }
    }
    const std::string charset = ContentTypeCharset(info.contentType);
    info.params = DecodeFormParams(encoded, charset);
    info.paramsAreText = IsKnownCharset(charset);
    return info;
}

}  // namespace korvalo
