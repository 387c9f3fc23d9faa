#include "platform/net/http_challenge.h"

#include "core/text.h"
#include "platform/net/curl_handles.h"

namespace korvalo {

std::optional<Challenge> FindChallenge(const ChallengeFacts& facts) {
    if (facts.tunnelRefused) {
        if (facts.viaProxy && (facts.connectCode == 407 || facts.connectCode == 401)) {
            const long methods = facts.proxyMethods != 0 ? facts.proxyMethods : facts.serverMethods;
            if (methods != 0)
                return Challenge{AuthTarget::Proxy, 407, methods};
        }
        return std::nullopt;
    }
    const bool insideTunnel = facts.connectCode != 0;
    if (facts.viaProxy && !insideTunnel && facts.status == 407 && facts.proxyMethods != 0)
        return Challenge{AuthTarget::Proxy, 407, facts.proxyMethods};
    if (facts.status == 401 && facts.serverMethods != 0)
        return Challenge{AuthTarget::Server, 401, facts.serverMethods};
    return std::nullopt;
}

std::pair<std::string, std::string> UrlHostAndPort(const std::string& url) {
    CurlUrl handle(curl_url());
    if (!handle || curl_url_set(handle.get(), CURLUPART_URL, url.c_str(),
                                CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK)
        return {};
    auto part = [&](CURLUPart which) {
        char* text = nullptr;
        if (curl_url_get(handle.get(), which, &text, 0) != CURLUE_OK || text == nullptr)
            return std::string();
        const CurlText owned(text);
        return std::string(text);
    };
    return {part(CURLUPART_HOST), part(CURLUPART_PORT)};
}

std::string UrlHostForDisplay(const std::string& url) {
    const auto [host, port] = UrlHostAndPort(url);
    if (host.empty())
        return url;
    return port.empty() ? host : host + ":" + port;
}

std::string ChallengeRealm(std::string_view line) {
    const std::string lower = ToLowerAscii(line);
    const std::size_t at = lower.find("realm=\"");
    if (at == std::string::npos)
        return {};
    const std::size_t begin = at + 7;
    const std::size_t end = line.find('"', begin);
    return std::string(line.substr(begin, end == std::string_view::npos ? end : end - begin));
}

}  // namespace korvalo
