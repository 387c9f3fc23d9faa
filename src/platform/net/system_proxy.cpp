#include "platform/net/system_proxy.h"

#include <cstdlib>
#include <vector>

#include "core/text.h"
#include "platform/desktop/commands.h"

namespace korvalo {

namespace {

bool AllDigits(std::string_view text) {
    if (text.empty())
        return false;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
    }
    return true;
}

int ParsePort(std::string_view text) {
    if (!AllDigits(text) || text.size() > 5)
        return 0;
    const int port = std::stoi(std::string(text));
    return port <= 65535 ? port : 0;
}

// The value of a GVariant text as gsettings prints it: a quoted string loses its quotes
// and escapes; anything else (numbers) is returned as it stands.
std::string GVariantText(std::string_view value) {
    if (value.empty() || (value.front() != '\'' && value.front() != '"'))
        return std::string(value);
    const char quote = value.front();
    std::string out;
    for (std::size_t i = 1; i < value.size(); ++i) {
        const char c = value[i];
        if (c == quote)
            break;
        if (c == '\\' && i + 1 < value.size()) {
            out.push_back(value[++i]);
            continue;
        }
        out.push_back(c);
    }
    return out;
}

}  // namespace

SystemProxy ParseProxyServerList(std::string_view list) {
    std::string text = Trim(list);
    if (const std::size_t http = text.find("http="); http != std::string::npos) {
        text.erase(0, http + 5);
        if (const std::size_t semicolon = text.find(';'); semicolon != std::string::npos)
            text.erase(semicolon);
    }
    SystemProxy proxy;
    std::size_t colon = std::string::npos;
    if (!text.empty() && text.front() == '[') {
        const std::size_t close = text.find(']');
        if (close != std::string::npos)
            colon = text.find(':', close);
    } else {
        colon = text.find(':');
    }
    if (colon == std::string::npos) {
        proxy.host = text;
        return proxy;
    }
    proxy.host = text.substr(0, colon);
    proxy.port = ParsePort(std::string_view(text).substr(colon + 1));
    return proxy;
}

std::string ProxyUrlToServerText(std::string_view url) {
    std::string text = Trim(url);
    if (const std::size_t scheme = text.find("://"); scheme != std::string::npos)
        text.erase(0, scheme + 3);
    const std::size_t pathStart = text.find_first_of("/?#");
    std::string authority = text.substr(0, pathStart);
    if (const std::size_t at = authority.rfind('@'); at != std::string::npos)
        authority.erase(0, at + 1);
    return authority;
}

std::string GnomeProxyServerText(std::string_view gsettingsOutput) {
    std::string mode, host;
    int port = 0;
    for (const std::string& line : SplitLines(gsettingsOutput)) {
        // "<schema> <key> <value>"
        const std::size_t s1 = line.find(' ');
        if (s1 == std::string::npos)
            continue;
        const std::size_t s2 = line.find(' ', s1 + 1);
        if (s2 == std::string::npos)
            continue;
        const std::string_view schema = std::string_view(line).substr(0, s1);
        const std::string_view key = std::string_view(line).substr(s1 + 1, s2 - s1 - 1);
        const std::string value = GVariantText(Trim(std::string_view(line).substr(s2 + 1)));
        if (schema == "org.gnome.system.proxy" && key == "mode") {
            mode = value;
        } else if (schema == "org.gnome.system.proxy.http" && key == "host") {
            host = Trim(value);
        } else if (schema == "org.gnome.system.proxy.http" && key == "port") {
            port = ParsePort(value);
        }
    }
    if (mode != "manual" || host.empty())
        return {};
    std::string server = ProxyUrlToServerText(host);
    if (server.empty())
        return {};
    // The port key counts when the host text names none of its own.
    const SystemProxy inHost = ParseProxyServerList(server);
    if (inHost.port == 0 && port != 0)
        server = inHost.host + ":" + std::to_string(port);
    return server;
}

SystemProxySource::SystemProxySource() : SystemProxySource(Options{}) {}

SystemProxySource::SystemProxySource(Options options) : options_(std::move(options)) {}

std::optional<std::string> SystemProxySource::Env(const std::string& name) const {
    if (options_.getEnv)
        return options_.getEnv(name);
    const char* value = std::getenv(name.c_str());
    return value != nullptr ? std::optional<std::string>(value) : std::nullopt;
}

SystemProxy SystemProxySource::GetSystemProxy() {
    for (const char* name : {"http_proxy", "HTTP_PROXY"}) {
        const std::optional<std::string> value = Env(name);
        if (!value || Trim(*value).empty())
            continue;
        return ParseProxyServerList(ProxyUrlToServerText(*value));
    }
    const std::optional<std::string> program =
        FindExecutable(options_.gsettings, Env("PATH").value_or("/usr/local/bin:/usr/bin:/bin"));
    if (!program)
        return {};
    const std::optional<std::string> output =
        RunCapture(*program, {"list-recursively", "org.gnome.system.proxy"}, options_.timeout);
    if (!output)
        return {};
    const std::string server = GnomeProxyServerText(*output);
    if (server.empty())
        return {};
    return ParseProxyServerList(server);
}

}  // namespace korvalo
