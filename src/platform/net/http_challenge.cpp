#include "platform/net/http_challenge.h"

#include "core/text.h"

namespace korvalo {

std::optional<Challenge> FindChallenge(const ChallengeFacts& facts) {
    if (facts.proxyMethods != 0 && (facts.tunnelRefused ? facts.connectCode : facts.status) == 407)
        return Challenge{AuthTarget::Proxy, 407, facts.proxyMethods};
    if (facts.serverMethods != 0 && !facts.tunnelRefused && facts.status == 401)
        return Challenge{AuthTarget::Server, 401, facts.serverMethods};
    return std::nullopt;
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
