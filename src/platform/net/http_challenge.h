#pragma once
// Authentication challenges in an HTTP answer: whose they are (the proxy's or the web
// server's), the methods offered, the realm named.

#include <optional>
#include <string>
#include <string_view>

namespace korvalo {

// Who asked for credentials.
enum class AuthTarget { Proxy, Server };

// What a finished attempt tells about challenges.
struct ChallengeFacts {
    long status = 0;             // the last HTTP status
    long connectCode = 0;        // the proxy's answer to CONNECT, 0 without a tunnel
    long proxyMethods = 0;       // methods offered in a Proxy-Authenticate (libcurl's bits)
    long serverMethods = 0;      // methods offered in a WWW-Authenticate (libcurl's bits)
    bool tunnelRefused = false;  // the proxy refused the CONNECT tunnel
};

// A challenge to answer: whose, the status it came with, the methods offered.
struct Challenge {
    AuthTarget target = AuthTarget::Proxy;
    long status = 0;
    long methods = 0;
};

// The proxy's challenge (407 with Proxy-Authenticate, also as the answer to the CONNECT of a
// tunnel), else the web server's (401 with WWW-Authenticate, not through a refused tunnel),
// else nothing.
std::optional<Challenge> FindChallenge(const ChallengeFacts& facts);

// The realm="..." of a challenge header line, or "".
std::string ChallengeRealm(std::string_view line);

}  // namespace korvalo
