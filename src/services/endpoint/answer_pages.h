#pragma once
// The pages and short bodies the endpoint sends back to the browser, and the redirect answer
// given without an upload.

#include <memory>
#include <string>
#include <string_view>

#include "core/log_sink.h"
#include "core/user_interface.h"
#include "services/endpoint/http_types.h"
#include "state/log/myfile.h"

namespace korvalo {

// Short bodies.
inline constexpr std::string_view kBusyJsonBody =
    "завершите предыдущую процедуру подписи или отмените ее";
inline constexpr std::string_view kBatchCancelledBody = "процедура подписи отменена";
inline constexpr std::string_view kMissingParamsBody = "<html><body>lalala</body></html>";
inline constexpr std::string_view kRedirectOkBody = "OK";

// The CORS header lines every direct answer carries, in this order.
inline constexpr std::pair<std::string_view, std::string_view> kCorsHeaders[] = {
    {"Access-Control-Allow-Origin", "*"},
    {"Access-Control-Allow-Methods", "POST"},
    {"Access-Control-Allow-Headers", "Content-Type"},
};

// "Korvalo Version " followed by the version text.
std::string ServerHeader(std::string_view version);

// The address as a JavaScript string literal's content: \ " ' < > and line breaks escaped
// (\\ \" \' \u003C \u003E \r \n \u2028 \u2029), everything else as it is.
std::string EscapeForScriptString(std::string_view text);
// The address as a double-quoted HTML attribute's content: " ' < > as &quot; &#39; &lt; &gt;,
// everything else (the ampersand too) as it is.
std::string EscapeForAttribute(std::string_view text);

// The page that sends the browser on to url, passed through the single-byte code page
// (characters it lacks become "?"). The address is escaped for the script string and for the
// link, so that it cannot leave either; an ordinary address appears unchanged.
std::string RedirectPage(std::string_view url);

// The page shown while another signing procedure runs, for the version text.
std::string BusyPage(std::string_view version);

// What SendRedirectPage needs besides the answer.
struct RedirectServices {
    ILogSink& log;
    INotifier& notifier;                    // the tray balloon
    std::shared_ptr<TMyFile> protocolFile;  // may be absent
    bool debug = false;
    std::string version;
};

// The redirect answer without upload: with urlToRedirect empty, status 200 and the body "OK"
// (nothing logged). Otherwise status 200, Server, text/html in windows-1251 with the redirect
// page; with debug the redirect-answer record; the balloon "Перенаправление на " + url and the
// log line. An error on the way is logged as " ---> Ошибка отправки. " + its message and the
// answer keeps what was set before it.
void SendRedirectPage(HttpResponseInfo& response, const std::string& urlToRedirect,
                      const RedirectServices& services);

}  // namespace korvalo
