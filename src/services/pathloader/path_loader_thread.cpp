#include "services/pathloader/path_loader_thread.h"

#include <atomic>

#include "core/detached_workers.h"
#include "core/text.h"

namespace korvalo {

// Whether the worker was terminated.
struct TPathLoaderThread::Control {
    std::atomic<bool> terminated{false};
};

namespace {

// The path loader's workers that have not ended, for a host that is about to end.
DetachedWorkers& AllWorkers() {
    static DetachedWorkers workers;
    return workers;
}

}  // namespace

std::string TPathLoaderThread::TranslateHttpError(int statusCode, const std::string& message) {
    switch (statusCode) {
        case 400:
            return "Плохой запрос";
        case 401:
            return "Не авторизован";
        case 403:
            return "Запрещено";
        case 404:
            return "Ресурс не найден";
        case 407:
            return "Необходима авторизация прокси";
        case 408:
            return "Время ожидания истекло";
        case 500:
            return "Внутренняя ошибка сервера";
        case 502:
            return "Плохой шлюз";
        case 503:
            return "Сервис недоступен";
        default:
            break;
    }
    const std::string lower = ToLowerAscii(message);
    if (lower.find("a connection with the server could not be established") != std::string::npos)
        return "Невозможно установить соединение с сервером";
    if (lower.find("the connection with the server was reset") != std::string::npos)
        return "Соединение с сервером было сброшено";
    return message;
}

TPathLoaderThread::TPathLoaderThread(Callbacks callbacks, SoapClientOptions soap)
    : FdmPathLoader(std::move(soap)),
      callbacks_(std::move(callbacks)),
      control_(std::make_shared<Control>()) {}

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
    const std::weak_ptr<TPathLoaderThread> handle = worker;
    worker->run_ = AllWorkers().Start(
        [worker]() {
            try {
                worker->Execute();
            } catch (...) {
                // A hand-over failed on the window's side: the attempt ends without a word.
            }
        },
        [handle] {
            if (auto live = handle.lock())
                live->Terminate();
        });
    return worker;
}

void TPathLoaderThread::Terminate() {
    control_->terminated = true;
    FdmPathLoader.Cancel();
}

bool TPathLoaderThread::Terminated() const {
    return control_->terminated;
}

bool TPathLoaderThread::WaitFor(std::chrono::milliseconds timeout) const {
    return run_->WaitFor(timeout);
}

void TPathLoaderThread::TerminateAll() {
    AllWorkers().TerminateAll();
}

bool TPathLoaderThread::WaitForAll(std::chrono::milliseconds timeout) {
    return AllWorkers().WaitForAll(timeout);
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
