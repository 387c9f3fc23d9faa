#include "services/update/update_thread.h"

#include "core/text.h"
#include "services/soap/transport_error_text.h"

namespace korvalo {

std::string TUpdateThread::TranslateHttpError(int statusCode, const std::string& message) {
    return TransportErrorText(statusCode, message,
                              {"Некорректный запрос", "Некорректный шлюз", nullptr});
}

TUpdateThread::TUpdateThread(Callbacks callbacks, SoapClientOptions soap)
    : FDataModuleUpdateThread(std::move(soap)), callbacks_(std::move(callbacks)) {}

TUpdateThread::~TUpdateThread() = default;

std::shared_ptr<TUpdateThread> TUpdateThread::Create(Callbacks callbacks, SoapClientOptions soap) {
    // The constructor is private; the worker is shared by its thread and the caller's handle.
    struct Constructible : TUpdateThread {
        Constructible(Callbacks c, SoapClientOptions s)
            : TUpdateThread(std::move(c), std::move(s)) {}
    };
    std::shared_ptr<TUpdateThread> worker =
        std::make_shared<Constructible>(std::move(callbacks), std::move(soap));
    Launch(worker);
    return worker;
}

void TUpdateThread::CancelCall() {
    FDataModuleUpdateThread.HTTPRIO.Cancel();
}

void TUpdateThread::Execute() {
    if (Terminated() || !callbacks_.FGetDataFromForm)
        return;
    UpdateCheckRequest request;
    callbacks_.FGetDataFromForm(request);
    FSoftwareID = request.SoftwareID;
    FVersion = request.Version;
    FURL = request.URL;
    FProxy = request.Proxy;
    FProxyUserName = request.ProxyUserName;
    FProxyPassword = request.ProxyPassword;
    try {
        FDataModuleUpdateThread.Configure(FURL, FProxy, FProxyUserName, FProxyPassword);
        (void)FDataModuleUpdateThread.Service.CheckVersionNew(FSoftwareID, FVersion, FErrMsg,
                                                              FErrCode);
        if (!Terminated() && callbacks_.FSendDataToForm)
            callbacks_.FSendDataToForm(ToCp1251(FErrMsg), FErrCode);
        return;
    } catch (const SoapCancelled&) {
        return;  // a silent cancellation reaches nobody
    } catch (const SoapTransportError& e) {
        if (!Terminated() && callbacks_.FSendErrorToForm)
            callbacks_.FSendErrorToForm(
                UpdateCheckError(TranslateHttpError(e.StatusCode(), e.what())));
    } catch (const std::exception& e) {
        if (!Terminated() && callbacks_.FSendErrorToForm)
            callbacks_.FSendErrorToForm(e);
    }
}

}  // namespace korvalo
