// The real endpoint (server and dispatcher) for load measurements: an in-memory log, a dialog
// that keeps the gate closed until the process ends, and an upload that does nothing.
//
//   endpoint_bench_server [--port N] [--threads N]   prints "PORT <n>" once listening, runs
//                                                    until SIGINT or SIGTERM
//   endpoint_bench_server --busy-page                prints the busy page and exits

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <mutex>
#include <string>

#include "core/services.h"
#include "core/user_interface.h"
#include "services/endpoint/answer_pages.h"
#include "services/endpoint/dispatcher.h"
#include "services/endpoint/http_server.h"

namespace {

using namespace korvalo;

// Counts lines and keeps the length, like the log control without the window.
class CountingLog : public ILogSink {
public:
    void PrintInfo(const std::string& text) override {
        std::lock_guard lock(mutex_);
        length_ += text.size() + 2;
    }
    void ClearInfo() override {
        std::lock_guard lock(mutex_);
        length_ = 0;
    }
    std::size_t LogLength() const override {
        std::lock_guard lock(mutex_);
        return length_;
    }

private:
    mutable std::mutex mutex_;
    std::size_t length_ = 0;
};

// Every dialog stays open until the process ends, so the first form request holds the gate.
class HoldingDialogs : public ISigningDialogs, public IIdCardBatchSigner, public INotifier {
public:
    int ShowSignMsgDialog(const SigningOptions&, const std::string&, std::string&, bool) override {
        return Hold();
    }
    int ShowSignFileDialog(const SigningOptions&, std::string&, std::string&, int,
                           std::optional<ContentFingerprint>&) override {
        return Hold();
    }
    int ShowSignFilesDialog(const SigningOptions&, TJobList&, const std::string&) override {
        return Hold();
    }
    int SignMultipleFile(TJobList&) override { return Hold(); }
    void ShowBalloon(const std::string&) override {}
    void ShowMessageBox(const std::string&, const std::string&, Icon) override {}

private:
    int Hold() {
        std::unique_lock lock(mutex_);
        never_.wait(lock, [] { return false; });
        return kResultClosed;
    }
    std::mutex mutex_;
    std::condition_variable never_;
};

class NoUpload : public ISignatureUploader {
public:
    void UploadSignature(const UploadJob&) override {}
};

}  // namespace

int main(int argc, char** argv) {
    EndpointOptions options;
    options.port = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--busy-page") {
            std::cout << BusyPage(GetProgramVersion());
            return 0;
        }
        if (arg == "--port" && i + 1 < argc)
            options.port = static_cast<std::uint16_t>(std::atoi(argv[++i]));
        else if (arg == "--threads" && i + 1 < argc)
            options.maxHandlerThreads = static_cast<std::size_t>(std::atoi(argv[++i]));
    }

    // Signals are taken by sigwait below; every thread started from here inherits the mask.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    CountingLog log;
    HoldingDialogs dialogs;
    NoUpload uploader;
    std::atomic<int> stage{0};
    RequestDispatcher dispatcher(DispatcherServices{
        .log = log,
        .settings = [] { return Settings{}; },
        .protocolFile = [] { return std::shared_ptr<TMyFile>(); },
        .dialogs = dialogs,
        .notifier = dialogs,
        .idCard = dialogs,
        .uploader = uploader,
        .stage = stage,
    });
    HttpServer server(dispatcher, options);
    try {
        server.Open();
    } catch (const std::exception& e) {
        std::cerr << e.what() << "\n";
        return 1;
    }
    std::cout << "PORT " << server.Port() << std::endl;
    int received = 0;
    sigwait(&signals, &received);
    // The held dialog never returns: leave without waiting for its thread.
    std::_Exit(0);
}
