#include "services/endpoint/http_types.h"

#include <algorithm>
#include <ostream>  // boost/core/detail/string_view.hpp needs it

#include <boost/beast/http/status.hpp>

#include "core/text.h"
#include "services/endpoint/http_params.h"

namespace korvalo {

namespace {

constexpr std::string_view kCrLf = "\r\n";

// One byte per character; characters above U+00FF become "?".
std::string Latin1Bytes(std::string_view text) {
    if (std::all_of(text.begin(), text.end(),
                    [](char ch) { return static_cast<unsigned char>(ch) < 0x80; }))
        return std::string(text);
    std::string out;
    out.reserve(text.size());
    ForEachChar(text, [&](char32_t c) { out.push_back(c <= 0xFF ? static_cast<char>(c) : '?'); });
    return out;
}

// A header value as written: one byte per character, without line breaks.
std::string HeaderValue(std::string_view text) {
    std::string out = Latin1Bytes(text);
    std::erase_if(out, [](char c) { return c == '\r' || c == '\n'; });
    return out;
}

void AppendHeader(std::string& out, std::string_view name, std::string_view value) {
    out += HeaderValue(name);
    out += ": ";
    out += HeaderValue(value);
    out += kCrLf;
}

}  // namespace

void HttpResponseInfo::WriteRawLine(std::string_view line) {
    raw_ += Latin1Bytes(line);
    raw_ += kCrLf;
}

void HttpResponseInfo::Reset() {
    *this = HttpResponseInfo();
}

std::string ReasonText(int status) {
    switch (status) {
        case 413:
            return "Payload Too Large";
        case 499:
            return "Client Closed Request";
        default:
            break;
    }
    const auto reason =
        boost::beast::http::obsolete_reason(static_cast<boost::beast::http::status>(status));
    return std::string(reason);
}

std::string EffectiveCharset(const HttpResponseInfo& response) {
    std::string charset =
        response.charSet.empty() ? ContentTypeCharset(response.contentType) : response.charSet;
    return charset.empty() ? std::string("utf-8") : ToLowerAscii(Trim(charset));
}

std::string EncodeText(std::string_view text, std::string_view charset) {
    const std::string cs = ToLowerAscii(charset);
    if (cs == "windows-1251" || cs == "cp1251")
        return ToCp1251(text);
    if (cs == "iso-8859-1" || cs == "latin1" || cs == "us-ascii")
        return Latin1Bytes(text);
    return std::string(text);
}

std::string SerializeAnswer(const HttpResponseInfo& response, bool includeBody) {
    const std::string body = EncodeText(response.body, EffectiveCharset(response));
    std::string out;
    if (response.headWritten) {
        out = response.RawOutput();
    } else {
        out.reserve(256 + body.size());
        out = response.RawOutput();
        out += "HTTP/1.1 " + std::to_string(response.status) + " " + ReasonText(response.status);
        out += kCrLf;
        if (!response.location.empty())
            AppendHeader(out, "Location", response.location);
        if (!response.server.empty())
            AppendHeader(out, "Server", response.server);
        for (const auto& [name, value] : response.extraHeaders)
            AppendHeader(out, name, value);
        if (!response.contentType.empty()) {
            std::string type = response.contentType;
            if (!response.charSet.empty())
                type += "; charset=" + response.charSet;
            AppendHeader(out, "Content-Type", type);
        } else if (!body.empty()) {
            AppendHeader(out, "Content-Type", "text/html; charset=utf-8");
        }
        AppendHeader(out, "Content-Length", std::to_string(body.size()));
        AppendHeader(out, "Connection", "close");
        out += kCrLf;
    }
    if (includeBody)
        out += body;
    return out;
}

}  // namespace korvalo
