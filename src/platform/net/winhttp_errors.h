#pragma once
// The WinHTTP error numbers that the HTTP client's failure texts carry, and their texts.

#include <string>
#include <string_view>

namespace korvalo {

// WinHTTP error numbers that the failure texts carry.
//
//   number  meaning                     libcurl outcome
//   12002   time-out                    CURLE_OPERATION_TIMEDOUT (connect), no progress for
//                                       responseTimeout
//   12005   invalid URL                 CURLE_URL_MALFORMAT (an empty URL among others)
//   12006   unrecognised scheme         CURLE_UNSUPPORTED_PROTOCOL before any connection (a
//                                       URL that is not http or https)
//   12007   name not resolved           CURLE_COULDNT_RESOLVE_HOST, CURLE_COULDNT_RESOLVE_PROXY
//   12017   operation cancelled         CURLE_ABORTED_BY_CALLBACK (a handler set abort)
//   12029   cannot connect              CURLE_COULDNT_CONNECT; a proxy that refuses the
//                                       CONNECT tunnel with a status other than 407; CURLE_PROXY
//   12030   connection aborted          send/receive errors, an empty answer, a cut body, and
//                                       every outcome not named here
//   12032   resend the request          the proxy refused the CONNECT tunnel with 407 again
//                                       after new credentials were given for it
//   12152   invalid server response     CURLE_WEIRD_SERVER_REPLY, an answer that is no HTTP at
//                                       all, HTTP/2 framing, bad content encoding, an answer
//                                       over maxResponseBytes
//   12156   redirect failed             CURLE_TOO_MANY_REDIRECTS, a redirect to another scheme
//   12175   secure channel failure      the TLS errors (handshake, certificate, cipher)
//   12004   internal error              CURLE_OUT_OF_MEMORY, a failed libcurl set-up
//
// The text is the number, ": ", the Russian meaning and libcurl's generic words in parentheses,
// e.g. "12029: Не удается установить соединение с сервером (Couldn't connect to server)".
// libcurl's detailed message is left out on purpose: it names ports and addresses, and a
// handler that looks for "12029" in the text must not find it in a port number.
int WinHttpErrorNumber(int curlCode);
std::string WinHttpErrorText(int winHttpNumber, std::string_view detail);

// 12031: the connection was reset by the peer. The upload's texts count a reset among the
// aborted connections (12030); the SOAP transport names it apart.
inline constexpr int kWinHttpConnectionReset = 12031;

// The system's English description of a WinHTTP error number, as the SOAP transport's
// failures carry it, e.g. 12029 "A connection with the server could not be established",
// 12031 "The connection with the server was reset", 12002 "The operation timed out",
// 12007 "The server name or address could not be resolved".
std::string WinHttpErrorDescription(int winHttpNumber);

}  // namespace korvalo
