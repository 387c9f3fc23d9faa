#include "services/endpoint/answer_pages.h"

#include "core/text.h"
#include "state/log/log_lines.h"
#include "state/log/protocol_records.h"

namespace korvalo {

std::string ServerHeader(std::string_view version) {
    return "Korvalo Version " + std::string(version);
}

std::string EscapeForScriptString(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    ForEachChar(text, [&](char32_t c) {
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '"':
                out += "\\\"";
                break;
            case '\'':
                out += "\\'";
                break;
            case '<':
                out += "\\u003C";
                break;
            case '>':
                out += "\\u003E";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\n':
                out += "\\n";
                break;
            case 0x2028:
                out += "\\u2028";
                break;
            case 0x2029:
                out += "\\u2029";
                break;
            default:
                AppendUtf8(out, c);
        }
    });
    return out;
}

std::string EscapeForAttribute(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&#39;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            default:
                out.push_back(c);
        }
    }
    return out;
}

std::string RedirectPage(std::string_view url) {
    const std::string address = ThroughCp1251(url);
    std::string page =
        "<html><head><meta http-equiv=\"Content-Type\" content=\"text/html; "
        "charset=windows-1251\"><script type=\"text/javascript\">window.onload = "
        "function(){window.location.href=\"";
    page += EscapeForScriptString(address);
    page += "\";}</script>";
    page += "</head><body>";
    page += "\r\n";
    page += "Если\tВаш браузер не поддерживает перенаправление, нажмите ";
    page += "<a href=\"";
    page += EscapeForAttribute(address);
    page += "\">здесь</a>, чтобы перейти на нужную страницу.";
    page += "\r\n";
    page += "</body></html>";
    return page;
}

std::string BusyPage(std::string_view version) {
    std::string page =
        "<html><meta charset=\"utf-8\"><body><script>setTimeout(() => history.back(), "
        "5000);</script><body><div style=\"display: flex; flex-direction: column; align-items: "
        "center; margin-top: 48px\"><h2>Korvalo v.";
    page += version;
    page += "</h2>";
    page += "<h3 style=\"color: red;\">Завершите предыдущую процедуру подписи или отмените ее</h3>";
    page += "<div><div></body><html>";
    return page;
}

void SendRedirectPage(HttpResponseInfo& response, const std::string& urlToRedirect,
                      const RedirectServices& services) {
    if (urlToRedirect.empty()) {
        response.status = 200;
        response.body = std::string(kRedirectOkBody);
        return;
    }
    try {
        response.status = 200;
        response.server = ServerHeader(services.version);
        response.contentType = "text/html";
        response.charSet = "windows-1251";
        response.body = RedirectPage(urlToRedirect);
        if (services.debug && services.protocolFile)
            services.protocolFile->WriteRecord(RedirectRecord(response.body));
        services.notifier.ShowBalloon("Перенаправление на " + urlToRedirect);
        services.log.PrintInfo(loglines::RedirectedTo(urlToRedirect));
    } catch (const std::exception& e) {
        services.log.PrintInfo(loglines::SendFailed(e.what()));
    }
}

}  // namespace korvalo
