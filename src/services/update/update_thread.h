#pragma once
// TUpdateThread: the update service's version check on a thread of its own. It asks its window
// for the software identifier, the version, the service's address and the proxy, calls
// CheckVersionNew and hands the verdict, or the failure, back.

#include <chrono>
#include <exception>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

#include "core/detached_workers.h"
#include "services/soap/soap_client.h"
#include "services/update/dm_update.h"

namespace korvalo {

// What the window hands the worker at its start (the out values of TGetDataFromForm).
struct UpdateCheckRequest {
    std::string SoftwareID;
    std::string Version;
    std::string URL;    // the service's base address
    std::string Proxy;  // "host:port"; empty: the system's proxy
    std::string ProxyUserName;
    std::string ProxyPassword;
};

// The three hand-overs to the window. The worker calls them on its own thread and waits for
// them; the window's side runs them on the user-interface thread.
using TGetDataFromForm = std::function<void(UpdateCheckRequest& request)>;
// ErrMsg is single-byte text in code page 1251 (characters it lacks became "?").
using TSendDataToForm = std::function<void(const std::string& ErrMsg, int ErrCode)>;
// ErrorObject's message is the text to show.
using TSendErrorToForm = std::function<void(const std::exception& ErrorObject)>;

// A failure of the version check: a translated transport failure.
class UpdateCheckError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class TUpdateThread : public DetachedWorker<TUpdateThread> {
public:
    struct Callbacks {
        TGetDataFromForm FGetDataFromForm;
        TSendDataToForm FSendDataToForm;
        TSendErrorToForm FSendErrorToForm;
    };

    // Creates a worker with the three callbacks and its own SOAP client, and starts it at once.
    // It calls the get-data callback first, then exactly one of the other two, or neither when
    // it was terminated. It frees itself when its run ends; the handle returned may be kept to
    // terminate or wait for it.
    static std::shared_ptr<TUpdateThread> Create(Callbacks callbacks, SoapClientOptions soap = {});
    ~TUpdateThread();
    TUpdateThread(const TUpdateThread&) = delete;
    TUpdateThread& operator=(const TUpdateThread&) = delete;

    // Terminate (from any thread): the call under way ends at once (within 100 ms) and no
    // callback is called after the worker notices (the window must still ignore a hand-over
    // that was already on its way). TerminateAll and WaitForAll: for a host about to end.

    // The update worker's text for a transport failure: its status code, or for a failure
    // without an answer the WinHTTP error number with the transport's English message. Its
    // words differ from the path loader's for 400 and 502, and it has no reset case.
    static std::string TranslateHttpError(int statusCode, const std::string& message);

private:
    friend class DetachedWorker<TUpdateThread>;
    TUpdateThread(Callbacks callbacks, SoapClientOptions soap);
    void Execute();
    void CancelCall();

    // Fields of the version check, in the order of the exchange.
    std::string FSoftwareID;
    std::string FVersion;
    std::string FURL;
    std::string FProxy;
    std::string FProxyUserName;
    std::string FProxyPassword;
    int FErrCode = 0;
    std::string FErrMsg;
    TDataModuleUpdateThread FDataModuleUpdateThread;
    Callbacks callbacks_;
};

}  // namespace korvalo
