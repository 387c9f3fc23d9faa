#pragma once
// TPathLoaderThread: one connection attempt of the path loader on a thread of its own. It asks
// its window for the endpoints, the proxy and the identifiers, calls GetDllPathAndMenu on each
// endpoint in turn until one answers, and hands the menu and paths, or the failure, back.

#include <chrono>
#include <exception>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/detached_workers.h"
#include "services/pathloader/path_loader_srv.h"
#include "services/soap/soap_client.h"

namespace korvalo {

// What the window hands the worker at its start (the out values of TGetDataFromPLComponent).
struct PathLoaderRequest {
    std::string APathLoaderURL;  // the endpoint list, one endpoint a line
    std::string AProxy;          // "host:port"; empty: the system's proxy
    std::string AProxyUserName;
    std::string AProxyPassword;
    std::string SoftwareID;
    std::string MenuID;
};

// The three hand-overs to the window. The worker calls them on its own thread and waits for
// them; the window's side runs them on the user-interface thread.
using TGetDataFromPLComponent = std::function<void(PathLoaderRequest& request)>;
using TSendDataToPLComponent =
    std::function<void(const std::string& MenuList, const std::string& PathList)>;
// ErrorObject's message is the text to show; ErrorCode is the worker's FErrorCode.
using TSendErrorToPLComponent =
    std::function<void(const std::exception& ErrorObject, int ErrorCode)>;

// A failure of the path loader: a refusal by the service, a translated transport failure.
class PathLoaderError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class TPathLoaderThread : public DetachedWorker<TPathLoaderThread> {
public:
    struct Callbacks {
        TGetDataFromPLComponent FGetDataFromComponent;
        TSendDataToPLComponent FSendDataToComponent;
        TSendErrorToPLComponent FSendErrorToComponent;
    };

    // Creates a worker with the three callbacks and its own SOAP client, and starts it at once.
    // It calls the get-data callback first, then exactly one of the other two, or neither when
    // no endpoint line is left after trimming or it was terminated. It frees itself when its
    // run ends; the handle returned may be kept to terminate or wait for it.
    static std::shared_ptr<TPathLoaderThread> Create(Callbacks callbacks,
                                                     SoapClientOptions soap = {});
    ~TPathLoaderThread();
    TPathLoaderThread(const TPathLoaderThread&) = delete;
    TPathLoaderThread& operator=(const TPathLoaderThread&) = delete;

    // Terminate (from any thread): the network call under way ends at once (within 100 ms)
    // and no further call is made; no callback is called after the worker notices (the window
    // must still ignore a hand-over that was already on its way). TerminateAll and WaitForAll:
    // for a host about to end.

    // The path loader's text for a transport failure: its status code, or for a failure
    // without an answer the WinHTTP error number with the transport's English message.
    static std::string TranslateHttpError(int statusCode, const std::string& message);

private:
    friend class DetachedWorker<TPathLoaderThread>;
    TPathLoaderThread(Callbacks callbacks, SoapClientOptions soap);
    void Execute();
    void CancelCall();
    void Report(const std::exception& failure);

    // Fields of one attempt, in the order of the service exchange.
    std::vector<std::string> FPathLoaderURL;
    std::string FProxy;
    std::string FProxyUserName;
    std::string FProxyPassword;
    std::string FSoftwareID;
    std::string FMenuID;
    std::string FMenu;
    std::string FPaths;
    std::string FErrorMsg;
    SoapClient FdmPathLoader;  // the worker's own SOAP client
    int FErrorCode = 0;        // -1 after a refusal; the last transport failure's status code
    Callbacks callbacks_;
};

}  // namespace korvalo
