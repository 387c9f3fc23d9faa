#include "platform/net/http_client.h"

#include <curl/curl.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <exception>
#include <optional>

#include "core/text.h"
#include "platform/net/curl_handles.h"
#include "platform/net/http_challenge.h"
#include "platform/net/winhttp_errors.h"

namespace korvalo {

namespace {

// A header value as bytes on the wire: one byte per character when every character fits in
// one (so bytes that arrived one per character go out as they came), the UTF-8 text
// otherwise. CR, LF and NUL would end the line early and become blanks.
std::string WireValue(const std::string& text) {
    bool singleBytes = true;
    ForEachChar(text, [&](char32_t c) { singleBytes = singleBytes && c <= 0xFF; });
    std::string bytes = singleBytes ? LowBytes(text) : text;
    std::replace_if(
        bytes.begin(), bytes.end(), [](char c) { return c == '\r' || c == '\n' || c == '\0'; },
        ' ');
    return bytes;
}

CurlSlist HeaderList(const std::vector<std::pair<std::string, std::string>>& headers) {
    CurlSlist list;
    for (const auto& [name, value] : headers) {
        const std::string wire = WireValue(value);
        // "Name:" would remove the header; "Name;" sends it with an empty value.
        AppendCurlLine(list, wire.empty() ? name + ";" : name + ": " + wire);
    }
    // curl's own additions that would change the listed head.
    AppendCurlLine(list, "Expect:");
    AppendCurlLine(list, "Proxy-Connection:");
    return list;
}

// State of one POST, shared with the C callbacks.
struct Transfer {
    Transfer(IHttpClientEvents& e, const HttpClientOptions& o, CURL* c, std::string_view b,
             IHttpBodySource* source, const std::function<bool()>& cancel, HttpAnswer* answer)
        : events(e),
          options(o),
          curl(c),
          body(b),
          bodySource(source),
          cancelCheck(cancel),
          collect(answer) {}

    IHttpClientEvents& events;
    const HttpClientOptions& options;
    CURL* curl;
    std::string_view body;
    IHttpBodySource* bodySource;  // the body when set, instead of body
    std::size_t bodySent = 0;     // where the next read of the body starts
    bool sourceRead = false;      // bytes were taken from bodySource since its start
    const std::function<bool()>& cancelCheck;
    HttpAnswer* collect;  // the answer is kept here when not null

    std::int64_t readCount = 0;
    std::int64_t reportedCount = 0;
    bool reportedAny = false;
    bool tooLarge = false;
    bool cancelled = false;       // the receive handler set abort
    bool checkCancelled = false;  // the request's cancel check said stop
    bool timedOut = false;
    curl_off_t lastDown = 0;
    curl_off_t lastUp = 0;
    std::chrono::steady_clock::time_point lastActivity;
    std::string proxyRealm;
    std::string serverRealm;
    std::exception_ptr failure;  // a handler threw inside a callback

    // Throws what the body source throws when it cannot start again.
    void StartAttempt() {
        readCount = reportedCount = 0;
        reportedAny = tooLarge = cancelled = checkCancelled = timedOut = false;
        bodySent = 0;
        if (bodySource != nullptr && sourceRead) {
            bodySource->Rewind();
            sourceRead = false;
        }
        if (collect != nullptr)
            *collect = HttpAnswer{};
        lastDown = lastUp = 0;
        lastActivity = std::chrono::steady_clock::now();
        proxyRealm.clear();
        serverRealm.clear();
    }

    // Keeps the status line's reason phrase and the content type of the last answer (a
    // redirect or a challenge comes before the final one).
    void CollectHeader(std::string_view line) {
        if (line.substr(0, 5) == "HTTP/") {
            const std::size_t code = line.find(' ');
            const std::size_t reason =
                code == std::string_view::npos ? code : line.find(' ', code + 1);
            collect->reason =
                reason == std::string_view::npos ? std::string() : Trim(line.substr(reason + 1));
            collect->contentType.clear();
        } else if (StartsWithNoCase(line, "Content-Type:")) {
            collect->contentType = Trim(line.substr(13));
        }
    }

    // True when the request's cancel check asks to stop (remembered).
    bool CancelRequested() {
        if (!checkCancelled && cancelCheck && cancelCheck())
            checkCancelled = true;
        return checkCancelled;
    }

    // Reports the bytes read so far; false when the handler wants the transfer stopped.
    bool Report() {
        curl_off_t length = -1;
        if (curl_easy_getinfo(curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) != CURLE_OK)
            length = -1;
        reportedAny = true;
        reportedCount = readCount;
        bool abort = false;
        events.NetHTTPClient1ReceiveData(length, readCount, abort);
        return !abort;
    }
};

// The request body is handed to libcurl block by block straight from the caller's buffer
// (libcurl's own path for a body in memory is several times slower for large bodies), or
// written by the body source into libcurl's buffer.
std::size_t OnReadBody(char* buffer, std::size_t size, std::size_t count, void* user) {
    auto& t = *static_cast<Transfer*>(user);
    if (t.bodySource != nullptr) {
        if (t.failure)
            return CURL_READFUNC_ABORT;
        try {
            t.sourceRead = true;
            return t.bodySource->Read(buffer, size * count);
        } catch (...) {
            t.failure = std::current_exception();
            return CURL_READFUNC_ABORT;
        }
    }
    const std::size_t n = std::min(size * count, t.body.size() - t.bodySent);
    std::memcpy(buffer, t.body.data() + t.bodySent, n);
    t.bodySent += n;
    return n;
}

// Rewinds the body for a repeated request (authentication, redirects); a body source only to
// its start.
int OnSeekBody(void* user, curl_off_t offset, int origin) {
    auto& t = *static_cast<Transfer*>(user);
    if (t.bodySource != nullptr) {
        if (origin != SEEK_SET || offset != 0 || t.failure)
            return CURL_SEEKFUNC_FAIL;
        try {
            t.bodySource->Rewind();
            t.sourceRead = false;
        } catch (...) {
            t.failure = std::current_exception();
            return CURL_SEEKFUNC_FAIL;
        }
        return CURL_SEEKFUNC_OK;
    }
    if (origin != SEEK_SET || offset < 0 || static_cast<std::size_t>(offset) > t.body.size())
        return CURL_SEEKFUNC_FAIL;
    t.bodySent = static_cast<std::size_t>(offset);
    return CURL_SEEKFUNC_OK;
}

std::size_t OnBody(char* data, std::size_t size, std::size_t count, void* user) {
    auto& t = *static_cast<Transfer*>(user);
    const std::size_t bytes = size * count;
    if (t.failure || t.CancelRequested())
        return 0;
    if (t.readCount + static_cast<std::int64_t>(bytes) > t.options.maxResponseBytes) {
        t.tooLarge = true;
        return 0;
    }
    t.readCount += static_cast<std::int64_t>(bytes);
    if (t.collect != nullptr)
        t.collect->body.append(data, bytes);
    if (!t.reportedAny || t.readCount - t.reportedCount >= t.options.progressStep) {
        try {
            if (!t.Report()) {
                t.cancelled = true;
                return 0;
            }
        } catch (...) {
            t.failure = std::current_exception();
            return 0;
        }
    }
    return bytes;
}

// The cancel check, and the response time-out: bytes must keep moving once the connection
// stands.
int OnProgress(void* user, curl_off_t /*downTotal*/, curl_off_t downNow, curl_off_t /*upTotal*/,
               curl_off_t upNow) {
    auto& t = *static_cast<Transfer*>(user);
    try {
        if (t.CancelRequested())
            return 1;
    } catch (...) {
        t.failure = std::current_exception();
        return 1;
    }
    const auto now = std::chrono::steady_clock::now();
    curl_off_t connected = 0;
    curl_easy_getinfo(t.curl, CURLINFO_PRETRANSFER_TIME_T, &connected);
    if (connected == 0 || downNow != t.lastDown || upNow != t.lastUp) {
        t.lastDown = downNow;
        t.lastUp = upNow;
        t.lastActivity = now;
        return 0;
    }
    if (now - t.lastActivity >= t.options.responseTimeout) {
        t.timedOut = true;
        return 1;
    }
    return 0;
}

std::size_t OnHeader(char* data, std::size_t size, std::size_t count, void* user) {
    auto& t = *static_cast<Transfer*>(user);
    const std::string_view line(data, size * count);
    if (t.collect != nullptr)
        t.CollectHeader(line);
    if (StartsWithNoCase(line, "Proxy-Authenticate:"))
        t.proxyRealm = ChallengeRealm(line);
    else if (StartsWithNoCase(line, "WWW-Authenticate:"))
        t.serverRealm = ChallengeRealm(line);
    return size * count;
}

int TransferIndex() {
    static const int index = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return index;
}

int OnClientCertificate(SSL* ssl, X509** /*certificate*/, EVP_PKEY** /*key*/) {
    auto* t = static_cast<Transfer*>(SSL_CTX_get_ex_data(SSL_get_SSL_CTX(ssl), TransferIndex()));
    if (t != nullptr && !t->failure) {
        try {
            t->events.NetHTTPClient1NeedClientCertificate();
        } catch (...) {
            t->failure = std::current_exception();
        }
    }
    return 0;  // no certificate: the handshake goes on without one
}

int OnServerCertificate(X509_STORE_CTX* store, void* user) {
    auto& t = *static_cast<Transfer*>(user);
    if (t.failure)
        return 0;
    auto* ssl =
        static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
    ServerCertificateInfo info;
    if (ssl != nullptr) {
        info.protocolName = SSL_get_version(ssl);
        const SSL_CIPHER* cipher = SSL_get_current_cipher(ssl);
        if (cipher == nullptr)
            cipher = SSL_get_pending_cipher(ssl);
        if (cipher != nullptr)
            info.algorithmName = SSL_CIPHER_get_name(cipher);
    }
    bool accepted = false;
    try {
        t.events.NetHTTPClient1ValidateServerCertificate(info, accepted);
    } catch (...) {
        t.failure = std::current_exception();
        accepted = false;
    }
    if (!accepted)
        X509_STORE_CTX_set_error(store, X509_V_ERR_APPLICATION_VERIFICATION);
    return accepted ? 1 : 0;
}

CURLcode OnSslContext(CURL* /*curl*/, void* sslContext, void* user) {
    auto* ctx = static_cast<SSL_CTX*>(sslContext);
    if (SSL_CTX_set_ex_data(ctx, TransferIndex(), user) != 1)
        return CURLE_SSL_CONNECT_ERROR;
    SSL_CTX_set_client_cert_cb(ctx, OnClientCertificate);
    // The handler alone decides: the chain is not checked against any store.
    SSL_CTX_set_cert_verify_callback(ctx, OnServerCertificate, user);
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
    return CURLE_OK;
}

template <typename T>
[[nodiscard]] bool Set(CURL* curl, CURLoption option, T value) {
    return curl_easy_setopt(curl, option, value) == CURLE_OK;
}

// A bare IPv6 address needs brackets to be read as a host.
std::string ProxyHost(const std::string& host) {
    if (host.find(':') != std::string::npos && host.front() != '[' &&
        host.find("://") == std::string::npos)
        return "[" + host + "]";
    return host;
}

[[nodiscard]] bool Configure(CURL* curl, const HttpPostRequest& request, const CurlSlist& headers,
                             Transfer& transfer, const HttpClientOptions& options) {
    bool ok =
        Set(curl, CURLOPT_URL, request.url.c_str()) && Set(curl, CURLOPT_NOSIGNAL, 1L) &&
        Set(curl, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1)) &&
        Set(curl, CURLOPT_PROTOCOLS_STR, "http,https") &&
        Set(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https") &&
        Set(curl, CURLOPT_FOLLOWLOCATION, 1L) &&
        Set(curl, CURLOPT_MAXREDIRS, options.maxRedirects) && Set(curl, CURLOPT_POST, 1L) &&
        Set(curl, CURLOPT_POSTFIELDSIZE_LARGE,
            static_cast<curl_off_t>(request.bodySource != nullptr ? request.bodySource->Size()
                                                                  : request.body.size())) &&
        Set(curl, CURLOPT_READFUNCTION, OnReadBody) &&
        Set(curl, CURLOPT_READDATA, static_cast<void*>(&transfer)) &&
        Set(curl, CURLOPT_SEEKFUNCTION, OnSeekBody) &&
        Set(curl, CURLOPT_SEEKDATA, static_cast<void*>(&transfer)) &&
        // Blocks of 64 KiB: a block read from the file stays in the cache until it is sent
        // (larger blocks measured up to a third slower on a large upload).
        Set(curl, CURLOPT_UPLOAD_BUFFERSIZE, 64L * 1024) &&
        Set(curl, CURLOPT_HTTPHEADER, headers.get()) &&
        Set(curl, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(options.connectTimeout.count())) &&
        Set(curl, CURLOPT_LOW_SPEED_LIMIT, options.minBytesPerSecond) &&
        Set(curl, CURLOPT_LOW_SPEED_TIME, static_cast<long>(options.minSpeedWindow.count())) &&
        Set(curl, CURLOPT_NOPROGRESS, 0L) && Set(curl, CURLOPT_XFERINFOFUNCTION, OnProgress) &&
        Set(curl, CURLOPT_XFERINFODATA, static_cast<void*>(&transfer)) &&
        // The cookie store is on and empty: only the listed Cookie header starts out.
        Set(curl, CURLOPT_COOKIEFILE, "") && Set(curl, CURLOPT_COOKIELIST, "ALL") &&
        Set(curl, CURLOPT_SSL_VERIFYPEER, 0L) && Set(curl, CURLOPT_SSL_VERIFYHOST, 0L) &&
        Set(curl, CURLOPT_SSL_CTX_FUNCTION, OnSslContext) &&
        Set(curl, CURLOPT_SSL_CTX_DATA, static_cast<void*>(&transfer)) &&
        Set(curl, CURLOPT_WRITEFUNCTION, OnBody) &&
        Set(curl, CURLOPT_WRITEDATA, static_cast<void*>(&transfer)) &&
        Set(curl, CURLOPT_HEADERFUNCTION, OnHeader) &&
        Set(curl, CURLOPT_HEADERDATA, static_cast<void*>(&transfer));
    if (!ok)
        return false;
    const ProxyEndpoint& proxy = request.proxy;
    if (proxy.host.empty())
        return Set(curl, CURLOPT_PROXY, "");  // also ignores the proxy variables
    ok = Set(curl, CURLOPT_PROXY, ProxyHost(proxy.host).c_str()) &&
         Set(curl, CURLOPT_PROXYTYPE, static_cast<long>(CURLPROXY_HTTP)) &&
         Set(curl, CURLOPT_PROXYPORT, static_cast<long>(proxy.port)) &&
         Set(curl, CURLOPT_NOPROXY, proxy.noProxy.c_str()) &&
         Set(curl, CURLOPT_PROXYAUTH, static_cast<unsigned long>(CURLAUTH_ANY));
    if (ok && (!proxy.userName.empty() || !proxy.password.empty())) {
        ok = Set(curl, CURLOPT_PROXYUSERNAME, ToCp1251(proxy.userName).c_str()) &&
             Set(curl, CURLOPT_PROXYPASSWORD, ToCp1251(proxy.password).c_str());
    }
    return ok;
}

[[nodiscard]] bool SetCredentials(CURL* curl, AuthTarget target, const std::string& userName,
                                  const std::string& password, long offered) {
    const auto methods = static_cast<unsigned long>(offered != 0 ? offered : CURLAUTH_ANY);
    const std::string user = ToCp1251(userName);
    const std::string pwd = ToCp1251(password);
    if (target == AuthTarget::Proxy) {
        return Set(curl, CURLOPT_PROXYUSERNAME, user.c_str()) &&
               Set(curl, CURLOPT_PROXYPASSWORD, pwd.c_str()) &&
               Set(curl, CURLOPT_PROXYAUTH, methods);
    }
    // The web server's credentials: libcurl sends them to the request's host only (not to a
    // host a redirect leads to), and never to the proxy.
    return Set(curl, CURLOPT_USERNAME, user.c_str()) && Set(curl, CURLOPT_PASSWORD, pwd.c_str()) &&
           Set(curl, CURLOPT_HTTPAUTH, methods) && Set(curl, CURLOPT_UNRESTRICTED_AUTH, 0L);
}

// Scheme, host and port of a URL ("http://portal.test:80"), the port filled in from the
// scheme; "" when it is no URL.
std::string Origin(const std::string& url) {
    CurlUrl handle(curl_url());
    if (!handle || curl_url_set(handle.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK)
        return {};
    std::string origin;
    for (const CURLUPart part : {CURLUPART_SCHEME, CURLUPART_HOST, CURLUPART_PORT}) {
        char* text = nullptr;
        if (curl_url_get(handle.get(), part, &text, CURLU_DEFAULT_PORT) != CURLUE_OK ||
            text == nullptr)
            return {};
        const CurlText owned(text);
        origin += origin.empty() ? std::string(text) + "://" : std::string(text);
        if (part == CURLUPART_HOST)
            origin += ":";
    }
    return origin;
}

// The address the last answer came from (after redirects).
std::string EffectiveUrl(CURL* curl, const std::string& fallback) {
    char* url = nullptr;
    if (curl_easy_getinfo(curl, CURLINFO_EFFECTIVE_URL, &url) != CURLE_OK || url == nullptr)
        return fallback;
    return url;
}

// What one perform ended with.
struct Outcome {
    CURLcode code = CURLE_OK;
    long status = 0;       // the last HTTP status
    long connectCode = 0;  // the proxy's answer to CONNECT, 0 without a tunnel
    long proxyAuth = 0;    // methods the proxy offered in a challenge
    long serverAuth = 0;   // methods the server offered in a challenge
    long connects = 0;     // connections made
    long osErrno = 0;      // the system's error number of the last socket failure

    bool TunnelRefused() const { return code != CURLE_OK && connectCode >= 300; }
};

// Runs the transfer while asking the request's cancel check every 100 ms, so that a
// cancellation from outside ends even a silent transfer at once (libcurl itself calls the
// progress function only about once a second while nothing moves).
[[nodiscard]] CURLcode PerformWatched(CURL* curl, Transfer& transfer) {
    constexpr int kCheckMs = 100;
    CurlMulti multi(curl_multi_init());
    if (!multi)
        return CURLE_OUT_OF_MEMORY;
    if (curl_multi_add_handle(multi.get(), curl) != CURLM_OK)
        return CURLE_FAILED_INIT;
    CURLcode result = CURLE_OK;
    for (;;) {
        bool cancel = false;
        try {
            cancel = transfer.CancelRequested();
        } catch (...) {
            transfer.failure = std::current_exception();
            cancel = true;
        }
        if (cancel) {
            result = CURLE_ABORTED_BY_CALLBACK;
            break;
        }
        int running = 0;
        if (curl_multi_perform(multi.get(), &running) != CURLM_OK) {
            result = CURLE_FAILED_INIT;
            break;
        }
        bool done = false;
        int queued = 0;
        while (CURLMsg* message = curl_multi_info_read(multi.get(), &queued)) {
            if (message->msg == CURLMSG_DONE) {
                result = message->data.result;
                done = true;
            }
        }
        if (done || running == 0)
            break;
        if (curl_multi_poll(multi.get(), nullptr, 0, kCheckMs, nullptr) != CURLM_OK) {
            result = CURLE_FAILED_INIT;
            break;
        }
    }
    curl_multi_remove_handle(multi.get(), curl);
    return result;
}

// One attempt of the transfer: with a cancel check it is watched, otherwise libcurl runs it.
Outcome Perform(CURL* curl, Transfer& transfer) {
    Outcome out;
    out.code = transfer.cancelCheck ? PerformWatched(curl, transfer) : curl_easy_perform(curl);
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &out.status);
    curl_easy_getinfo(curl, CURLINFO_HTTP_CONNECTCODE, &out.connectCode);
    curl_easy_getinfo(curl, CURLINFO_PROXYAUTH_AVAIL, &out.proxyAuth);
    curl_easy_getinfo(curl, CURLINFO_HTTPAUTH_AVAIL, &out.serverAuth);
    curl_easy_getinfo(curl, CURLINFO_NUM_CONNECTS, &out.connects);
    curl_easy_getinfo(curl, CURLINFO_OS_ERRNO, &out.osErrno);
    return out;
}

HttpFailure Failure(int number, std::string detail) {
    HttpFailure failure;
    failure.number = number;
    failure.detail = std::move(detail);
    return failure;
}

HttpFailure FailureOf(const Outcome& outcome, const Transfer& transfer) {
    if (transfer.tooLarge)
        return Failure(12152, "Response body too large");
    if (transfer.checkCancelled)
        return {.number = 12017, .detail = "Cancelled", .cancelled = true};
    if (transfer.cancelled)
        return Failure(12017, "Cancelled by the receive handler");
    if (transfer.timedOut)
        return Failure(12002, "No answer in time");
    if (outcome.TunnelRefused())
        return Failure(12029, "The proxy refused the tunnel");
    const std::string words = curl_easy_strerror(outcome.code);
    if (outcome.code == CURLE_UNSUPPORTED_PROTOCOL && outcome.connects > 0) {
        // Not the URL's scheme: an answer that is no HTTP, or a redirect to another scheme.
        if (outcome.status >= 300 && outcome.status < 400)
            return Failure(12156, words);
        return Failure(12152, words);
    }
    HttpFailure failure = Failure(WinHttpErrorNumber(outcome.code), words);
    failure.connectionReset =
        (outcome.code == CURLE_RECV_ERROR || outcome.code == CURLE_SEND_ERROR) &&
        outcome.osErrno == ECONNRESET;
    return failure;
}

// Reports a failure: to the events, and into the collected answer when there is one.
void Fail(IHttpClientEvents& events, HttpAnswer* collect, HttpFailure failure) {
    const std::string text = WinHttpErrorText(failure.number, failure.detail);
    if (collect != nullptr) {
        *collect = HttpAnswer{};
        collect->failure = std::move(failure);
    }
    events.NetHTTPClient1RequestError(text);
}

// The notifications of an exchange: nobody is asked, every server certificate is accepted.
class ExchangeEvents : public IHttpClientEvents {
public:
    void NetHTTPClient1AuthEvent(AuthTarget, const std::string&, const std::string&, std::string&,
                                 std::string&, bool& abort) override {
        abort = true;
    }
    void NetHTTPClient1RequestCompleted(int) override {}
    void NetHTTPClient1RequestError(const std::string&) override {}
    void NetHTTPClient1ReceiveData(std::int64_t, std::int64_t, bool&) override {}
    void NetHTTPClient1NeedClientCertificate() override {}
    void NetHTTPClient1ValidateServerCertificate(const ServerCertificateInfo&,
                                                 bool& accepted) override {
        accepted = true;
    }
};

}  // namespace

void THttpClient::Post(const HttpPostRequest& request, IHttpClientEvents& events) const {
    Run(request, events, nullptr);
}

HttpAnswer THttpClient::Exchange(const HttpPostRequest& request) const {
    ExchangeEvents events;
    HttpAnswer answer;
    Run(request, events, &answer);
    return answer;
}

void THttpClient::Run(const HttpPostRequest& request, IHttpClientEvents& events,
                      HttpAnswer* collect) const {
    if (CurlGlobalInit() != CURLE_OK) {
        Fail(events, collect, Failure(12004, "libcurl failed to start"));
        return;
    }
    CurlEasy curl(curl_easy_init());
    if (!curl) {
        Fail(events, collect, Failure(12004, "libcurl failed to start"));
        return;
    }
    Transfer transfer(events, options_, curl.get(), request.body, request.bodySource,
                      request.cancelled, collect);
    const CurlSlist headers = HeaderList(request.headers);
    if (!Configure(curl.get(), request, headers, transfer, options_)) {
        Fail(events, collect, Failure(12004, "libcurl rejected a setting"));
        return;
    }

    bool retried = false;
    for (;;) {
        transfer.StartAttempt();
        const Outcome outcome = Perform(curl.get(), transfer);
        if (transfer.failure)
            std::rethrow_exception(transfer.failure);
        if (transfer.checkCancelled) {
            Fail(events, collect, FailureOf(outcome, transfer));
            return;
        }

        // A challenge counts when its answer arrived, even if the proxy then cut the
        // connection without reading the body (tinyproxy does).
        const bool tunnelRefused = outcome.TunnelRefused();
        std::optional<Challenge> challenge = FindChallenge(ChallengeFacts{
            .status = outcome.status,
            .connectCode = outcome.connectCode,
            .proxyMethods = outcome.proxyAuth,
            .serverMethods = outcome.serverAuth,
            .tunnelRefused = tunnelRefused,
            .viaProxy = !request.proxy.host.empty(),
        });
        std::string challengeUrl = request.url;
        if (challenge && challenge->target == AuthTarget::Server) {
            challengeUrl = EffectiveUrl(curl.get(), request.url);
            // Credentials given now would reach the request's host only, never the one that
            // asked: nobody is asked, the answer stands.
            if (Origin(challengeUrl) != Origin(request.url))
                challenge.reset();
        }

        if (challenge && !retried) {
            std::string userName;
            std::string password;
            bool abort = false;
            events.NetHTTPClient1AuthEvent(
                challenge->target,
                challenge->target == AuthTarget::Proxy ? transfer.proxyRealm : transfer.serverRealm,
                challengeUrl, userName, password, abort);
            if (abort) {
                if (collect != nullptr)
                    collect->status = static_cast<int>(challenge->status);
                events.NetHTTPClient1RequestCompleted(static_cast<int>(challenge->status));
                return;
            }
            // Only the methods offered: the retry then carries the credentials at once.
            if (!SetCredentials(curl.get(), challenge->target, userName, password,
                                challenge->methods)) {
                Fail(events, collect, Failure(12004, "libcurl rejected the credentials"));
                return;
            }
            retried = true;
            continue;
        }
        if (challenge && tunnelRefused) {
            // The tunnel was refused again with the credentials just given.
            Fail(events, collect, Failure(12032, "Proxy authentication required"));
            return;
        }

        if (!transfer.tooLarge && !transfer.cancelled &&
            transfer.readCount > transfer.reportedCount) {
            bool keepGoing = transfer.Report();
            (void)keepGoing;  // the body is read already
        }
        if (outcome.code != CURLE_OK && !challenge) {
            Fail(events, collect, FailureOf(outcome, transfer));
        } else {
            if (collect != nullptr)
                collect->status = static_cast<int>(outcome.status);
            events.NetHTTPClient1RequestCompleted(static_cast<int>(outcome.status));
        }
        return;
    }
}

}  // namespace korvalo
