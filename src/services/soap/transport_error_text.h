#pragma once
// The text a service worker shows for a SOAP transport failure: its words for the HTTP status,
// or for a failure without an answer those for the network error the message names.

#include <string>

namespace korvalo {

// The words in which the workers differ; a null resetText leaves a reset connection's message
// as it is.
struct TransportErrorWords {
    const char* badRequest;  // 400
    const char* badGateway;  // 502
    const char* resetText;   // "the connection with the server was reset"
};

std::string TransportErrorText(int statusCode, const std::string& message,
                               const TransportErrorWords& words);

}  // namespace korvalo
