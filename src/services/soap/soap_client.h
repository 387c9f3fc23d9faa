#pragma once
// A SOAP 1.1 client (RPC style, section 5 encoding) over the platform's HTTP client: one
// service address, the proxy settings, and calls that can be cancelled from another thread.
// Each worker that calls a service has a client of its own.

#include <atomic>
#include <memory>
#include <optional>
#include <string>

#include "platform/net/http_client.h"
#include "platform/net/system_proxy.h"
#include "services/soap/soap_envelope.h"

namespace korvalo {

// The SOAP HTTP layer failed: no answer (the status code is then the WinHTTP error number and
// the message its English description), or an answer with an HTTP error status (the status
// code and its reason phrase). Either message goes on with " - URL:", the address,
// " - SOAPAction:" and the action.
class SoapTransportError : public SoapError {
public:
    SoapTransportError(int statusCode, const std::string& message)
        : SoapError(message), statusCode_(statusCode) {}
    int StatusCode() const { return statusCode_; }

private:
    int statusCode_;
};

// The call was cancelled (SoapClient::Cancel): a silent end that nobody is told about.
class SoapCancelled : public SoapError {
public:
    SoapCancelled() : SoapError("Операция отменена") {}
};

struct SoapClientOptions {
    // Connect and no-progress time-outs of 60 seconds each, as the upload has them; an answer
    // over 4 MiB is refused.
    HttpClientOptions http = DefaultHttp();
    // The system's proxy, used when no proxy is set (default: this machine's).
    std::shared_ptr<ISystemProxySource> systemProxy;
    // The hosts that bypass the system's proxy, in libcurl's form; default: the variable
    // no_proxy, else NO_PROXY. A proxy set on the client is used for every host.
    std::optional<std::string> systemNoProxy;

    static HttpClientOptions DefaultHttp() {
        HttpClientOptions http;
        http.maxResponseBytes = std::int64_t{4} << 20;
        return http;
    }
};

class SoapClient {
public:
    explicit SoapClient(SoapClientOptions options = {});
    SoapClient(const SoapClient&) = delete;
    SoapClient& operator=(const SoapClient&) = delete;

    // The address the calls go to.
    void SetURL(std::string url) { url_ = std::move(url); }
    const std::string& URL() const { return url_; }
    // The proxy as "host:port" (a port of 80 when none is named); empty: the system's proxy.
    void SetProxy(std::string proxy) { proxy_ = std::move(proxy); }
    // Credentials offered to the proxy (in the single-byte code page).
    void SetProxyUserName(std::string userName) { proxyUserName_ = std::move(userName); }
    void SetProxyPassword(std::string password) { proxyPassword_ = std::move(password); }

    // Posts the call's envelope (content type "text/xml; charset=utf-8", the SOAPAction
    // header in quotes) and reads the answer. Errors in the server's TLS certificate are
    // ignored; no login is asked for: a challenge the credentials above do not satisfy ends
    // the call with its status.
    // Throws SoapCancelled after Cancel(), SoapTransportError when no answer came or its
    // status is an error (300 and up after redirects; a SOAP fault sent with any status is
    // thrown as SoapFault), SoapError when the answer is not the expected SOAP answer.
    [[nodiscard]] SoapAnswer Invoke(const SoapCall& call);

    // From any thread: a running call ends within 100 ms or so, and every later call at
    // once, as SoapCancelled.
    void Cancel() { cancelled_ = true; }
    bool Cancelled() const { return cancelled_; }

private:
    ProxyEndpoint Proxy();
    [[noreturn]] void ThrowTransport(int statusCode, const std::string& what,
                                     const SoapCall& call) const;

    SoapClientOptions options_;
    std::string url_;
    std::string proxy_;
    std::string proxyUserName_;
    std::string proxyPassword_;
    std::atomic<bool> cancelled_{false};
};

}  // namespace korvalo
