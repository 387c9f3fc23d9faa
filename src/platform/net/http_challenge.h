#pragma once
// Authentication challenges in an HTTP answer: whose they are (the proxy's or the web
// server's), the methods offered, the realm named; the host a URL names.

#include <optional>
#include <string>
#include <string_view>
#include <utility>

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
    bool viaProxy = false;       // the request went through a proxy
};

// A challenge to answer: whose, the status it came with, the methods offered.
struct Challenge {
    AuthTarget target = AuthTarget::Proxy;
    long status = 0;
    long methods = 0;
};

// The proxy's challenge, else the web server's, else nothing.
//
// Only a proxy's challenge may ask for the proxy's credentials, so it is told apart from
// whatever the web server answers: with no proxy there is none; a refused CONNECT tunnel is the
// proxy's answer (with 407, or with 401 as some proxies answer wrong credentials; reported as
// 407); once a tunnel stands, every answer inside it is the web server's, a 407 included; on a
// plain request through the proxy a 407 with Proxy-Authenticate is taken as the proxy's. The
// web server's challenge is a 401 with WWW-Authenticate (not through a refused tunnel).
std::optional<Challenge> FindChallenge(const ChallengeFacts& facts);

// The host and the port as written in url ("" for each when url names none or is no URL).
std::pair<std::string, std::string> UrlHostAndPort(const std::string& url);

// The host of a URL as it is shown to the person: the host name, and ":" and the port when
// the URL names one ("portal.test", "127.0.0.1:8080", "[::1]:8443"); the whole text when it is
// no URL.
std::string UrlHostForDisplay(const std::string& url);

// The realm="..." of a challenge header line, or "".
std::string ChallengeRealm(std::string_view line);

}  // namespace korvalo
