#pragma once
// The request as the handlers see it, made from the request Beast has read: the raw request
// line and header lines, the fields the handlers use, the body and the decoded parameters.

#include <boost/beast/http.hpp>

#include "services/endpoint/http_types.h"

namespace korvalo {

// Moves the body out of req. Throws InvalidPercentEscape for a bad escape in the parameters.
HttpRequestInfo MakeRequestInfo(boost::beast::http::request<boost::beast::http::string_body>& req);

}  // namespace korvalo
