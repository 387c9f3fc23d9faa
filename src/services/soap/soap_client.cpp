#include "services/soap/soap_client.h"

#include <cstdlib>

#include "core/version.h"
#include "platform/net/winhttp_errors.h"

namespace korvalo {

namespace {

std::optional<std::string> EnvValue(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? std::optional<std::string>(value) : std::nullopt;
}

}  // namespace

SoapClient::SoapClient(SoapClientOptions options) : options_(std::move(options)) {
    if (!options_.systemProxy)
        options_.systemProxy = std::make_shared<SystemProxySource>();
}

ProxyEndpoint SoapClient::Proxy() {
    ProxyEndpoint endpoint;
    SystemProxy proxy;
    if (!proxy_.empty()) {
        proxy = ParseProxyServerList(ProxyUrlToServerText(proxy_));
    } else {
        proxy = options_.systemProxy->GetSystemProxy();
        if (options_.systemNoProxy)
            endpoint.noProxy = *options_.systemNoProxy;
        else
            endpoint.noProxy = EnvValue("no_proxy").value_or(EnvValue("NO_PROXY").value_or(""));
    }
    if (proxy.host.empty())
        return ProxyEndpoint{};
    endpoint.host = proxy.host;
    if (endpoint.host.size() > 2 && endpoint.host.front() == '[' && endpoint.host.back() == ']')
        endpoint.host = endpoint.host.substr(1, endpoint.host.size() - 2);
    endpoint.port = proxy.port != 0 ? proxy.port : 80;
    endpoint.userName = proxyUserName_;
    endpoint.password = proxyPassword_;
    return endpoint;
}

void SoapClient::ThrowTransport(int statusCode, const std::string& what,
                                const SoapCall& call) const {
    throw SoapTransportError(statusCode, what + " - URL:" + url_ + " - SOAPAction:" + call.action);
}

SoapAnswer SoapClient::Invoke(const SoapCall& call) {
    if (cancelled_)
        throw SoapCancelled();
    const std::string envelope = BuildSoapRequest(call);
    HttpPostRequest request;
    request.url = url_;
    request.headers = {
        {"Content-Type", "text/xml; charset=utf-8"},
        {"SOAPAction", "\"" + call.action + "\""},
        {"User-Agent", std::string("Korvalo/") + kProgramVersion},
        {"Accept", "text/xml"},
    };
    request.body = envelope;
    request.proxy = Proxy();
    request.cancelled = [this] { return cancelled_.load(); };

    const HttpAnswer answer = THttpClient(options_.http).Exchange(request);
    if (cancelled_)
        throw SoapCancelled();
    if (answer.failure) {
        const int number =
            answer.failure->connectionReset ? kWinHttpConnectionReset : answer.failure->number;
        ThrowTransport(number, WinHttpErrorDescription(number), call);
    }
    if (answer.status >= 300) {
        // A fault may come with an error status (500 as a rule); anything else there is the
        // transport's failure.
        if (answer.status >= 400) {
            try {
                (void)SoapAnswer::Parse(answer.body, call.operation);
            } catch (const SoapFault&) {
                throw;
            } catch (const SoapError&) {
            }
        }
        ThrowTransport(
            answer.status,
            answer.reason.empty() ? "HTTP " + std::to_string(answer.status) : answer.reason, call);
    }
    return SoapAnswer::Parse(answer.body, call.operation);
}

}  // namespace korvalo
