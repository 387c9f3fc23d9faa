// The endpoint's reading of a request: the head and body as Beast parses them with the
// endpoint's limits, the request as the handlers see it (request line, header lines, decoded
// parameters), the form fields the dispatcher reads from them, and an answer that carries the
// request's Referer as Location, whose head must keep its lines whatever the Referer holds.

#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "services/endpoint/form_params.h"
#include "services/endpoint/http_params.h"
#include "services/endpoint/http_request.h"
#include "services/endpoint/http_types.h"

namespace http = boost::beast::http;

namespace {

std::size_t Count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    http::request_parser<http::string_body> parser;
    parser.header_limit(64 * 1024);
    parser.body_limit(1024 * 1024);
    parser.eager(true);
    boost::beast::error_code ec;
    parser.put(boost::asio::buffer(data, size), ec);
    if (!ec && !parser.is_done())
        parser.put_eof(ec);
    if (ec || !parser.is_done())
        return 0;
    http::request<http::string_body> req = parser.release();

    korvalo::HttpRequestInfo info;
    try {
        info = korvalo::MakeRequestInfo(req);
    } catch (const korvalo::InvalidPercentEscape&) {
        return 0;
    }
    korvalo::RequestFields fields;
    const bool complete = korvalo::ParseFormParams(info.params, info.paramsAreText, fields);
    if (complete != (!fields.urlToAnswer.empty() && !fields.urlToRedirect.empty()))
        std::abort();

    // The answers the dispatcher writes from the request's own texts.
    korvalo::HttpResponseInfo response;
    response.status = 301;
    response.location = info.referer;
    response.server = "Korvalo Version 1.0.0.0";
    response.contentType = info.contentType;
    response.body = fields.crpt_message;
    response.extraHeaders.emplace_back("X-Agent", info.userAgent);
    const std::string answer = korvalo::SerializeAnswer(response, true);
    const std::string head = answer.substr(0, answer.find("\r\n\r\n") + 4);
    // Status line, Location (when there is one), Server, X-Agent, Content-Type (when set),
    // Content-Length, Connection: nothing the request sent may add a line.
    const std::size_t lines = 5 + (info.referer.empty() ? 0 : 1) +
                              (info.contentType.empty() && fields.crpt_message.empty() ? 0 : 1);
    if (Count(head, "\r\n") != lines + 1 || Count(head, "\n") != lines + 1)
        std::abort();
    return 0;
}
