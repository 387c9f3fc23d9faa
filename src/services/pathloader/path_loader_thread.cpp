#include "services/pathloader/path_loader_thread.h"

#include "core/detached_workers.h"
#include "core/text.h"
#include "services/soap/transport_error_text.h"

namespace korvalo {

std::string TPathLoaderThread::TranslateHttpError(int statusCode, const std::string& message) {
    return TransportErrorText(
        statusCode, message,
        {"Плохой запрос", "Плохой шлюз", "Соединение с сервером было сброшено"});
}

TPathLoaderThread::TPathLoaderThread(Callbacks callbacks, SoapClientOptions soap)
    : FdmPathLoader(std::move(soap)), callbacks_(std::move(callbacks)) {}

TPathLoaderThread::~TPathLoaderThread() = default;

std::shared_ptr<TPathLoaderThread> TPathLoaderThread::Create(Callbacks callbacks,
                                                             SoapClientOptions soap) {
    // The constructor is private; the worker is shared by its thread and the caller's handle.
    struct Constructible : TPathLoaderThread {
        Constructible(Callbacks c, SoapClientOptions s)
            : TPathLoaderThread(std::move(c), std::move(s)) {}
    };
    std::shared_ptr<TPathLoaderThread> worker =
        std::make_shared<Constructible>(std::move(callbacks), std::move(soap));
    Launch(worker);
    return worker;
}

void TPathLoaderThread::CancelCall() {
    FdmPathLoader.Cancel();
}

void TPathLoaderThread::Report(const std::exception& failure) {
    if (!Terminated() && callbacks_.FSendErrorToComponent)
        callbacks_.FSendErrorToComponent(failure, FErrorCode);
}

void TPathLoaderThread::Execute() {
    PathLoaderRequest request;
    if (Terminated() || !callbacks_.FGetDataFromComponent)
        return;
    callbacks_.FGetDataFromComponent(request);
    FPathLoaderURL = SplitLines(request.APathLoaderURL);
    FProxy = request.AProxy;
    FProxyUserName = request.AProxyUserName;
    FProxyPassword = request.AProxyPassword;
    FSoftwareID = request.SoftwareID;
    FMenuID = request.MenuID;

    FdmPathLoader.SetProxy(FProxy);
    FdmPathLoader.SetProxyUserName(FProxyUserName);
    FdmPathLoader.SetProxyPassword(FProxyPassword);
    PathLoaderSrvClient service(FdmPathLoader);

    std::size_t last = FPathLoaderURL.size();
    for (std::size_t i = 0; i < FPathLoaderURL.size(); ++i) {
        if (!Trim(FPathLoaderURL[i]).empty())
            last = i;
    }
    for (std::size_t i = 0; i < FPathLoaderURL.size(); ++i) {
        const std::string endpoint = Trim(FPathLoaderURL[i]);
        if (endpoint.empty())
            continue;
        if (Terminated())
            return;
        FdmPathLoader.SetURL(endpoint + kPathLoaderSrvPath);
        FErrorMsg.clear();
        FPaths.clear();
        FMenu.clear();
        try {
            if (service.GetDllPathAndMenu(FSoftwareID, FMenuID, FMenu, FPaths, FErrorMsg)) {
                if (!Terminated() && callbacks_.FSendDataToComponent)
                    callbacks_.FSendDataToComponent(FMenu, FPaths);
                return;
            }
            FErrorCode = -1;
            throw PathLoaderError(FErrorMsg);
        } catch (const SoapCancelled&) {
            return;  // a silent cancellation reaches nobody
        } catch (const SoapTransportError& e) {
            FErrorCode = e.StatusCode();
            if (i == last) {
                Report(PathLoaderError(TranslateHttpError(e.StatusCode(), e.what())));
                return;
            }
        } catch (const std::exception& e) {
            if (i == last) {
                Report(e);
                return;
            }
        }
    }
}

}  // namespace korvalo
