// Batch benchmark: a JSON batch of N documents (default 20,000 of 1 KiB) through the path of a
// real request, with the program's own parts: the endpoint, the dispatcher, the batch dialog
// (TFSignFiles on an offscreen display, its "Подписать" pressed as soon as it can be), TSign in
// batch mode, the activity log with its window, the batch answer and its upload to a local
// server. It prints the time from the press to the browser's answer beside the plain signing
// loop (OpenSSL's CMS_sign over the same documents) in the same run.
//
//   korvalo-batch-bench [--docs N] [--size BYTES]

#include <openssl/cms.h>

#include <QApplication>
#include <QPushButton>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>

#include "common/bench_data.h"
#include "core/base64.h"
#include "services/delivery/upload.h"
#include "services/endpoint/dispatcher.h"
#include "services/endpoint/http_server.h"
#include "support/capture_server.h"
#include "support/cert_fixture.h"
#include "support/raw_client.h"
#include "support/recording_doubles.h"
#include "ui/dialogs/fsignjson.h"
#include "ui/dialogs/qt_signing_dialogs.h"
#include "ui/host/main_window.h"
#include "ui/host/qt_log_sink.h"

namespace korvalo {
namespace {

using Seconds = std::chrono::duration<double>;
using SteadyClock = std::chrono::steady_clock;

constexpr char kSha256[] = "2.16.840.1.101.3.4.2.1";

// The ID card is not part of this run.
class NoIdCard : public IIdCardBatchSigner {
public:
    int SignMultipleFile(TJobList&) override { return kResultClosed; }
};

// The machine's load averages (1, 5 and 15 minutes), as /proc/loadavg tells them.
std::string LoadAverage() {
    std::ifstream in("/proc/loadavg");
    std::string one, five, fifteen;
    in >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

// The plain signing loop: OpenSSL's CMS_sign over each document, DER out.
double PlainLoop(const testing::TestCert& cert, const std::vector<std::string>& documents) {
    const auto start = SteadyClock::now();
    for (const std::string& data : documents) {
        BIO* in = BIO_new_mem_buf(data.data(), static_cast<int>(data.size()));
        CMS_ContentInfo* cms =
            CMS_sign(cert.cert.get(), cert.key.get(), nullptr, in, CMS_DETACHED | CMS_BINARY);
        unsigned char* der = nullptr;
        if (cms == nullptr || i2d_CMS_ContentInfo(cms, &der) <= 0)
            throw std::runtime_error("plain CMS_sign failed");
        OPENSSL_free(der);
        CMS_ContentInfo_free(cms);
        BIO_free(in);
    }
    return Seconds(SteadyClock::now() - start).count();
}

std::string BatchDocument(const std::vector<std::string>& documents, const std::string& answerUrl,
                          const std::string& serial) {
    std::string json = "{\"urlToAnswer\":\"" + answerUrl +
                       "\",\"urlToRedirect\":\"http://portal.test/done\",\"certificateNum\":\"" +
                       serial + "\",\"files\":[";
    for (std::size_t i = 0; i < documents.size(); ++i) {
        json += i == 0 ? "{" : ",{";
        json += "\"id\":\"" + std::to_string(i) + "\",\"data64\":\"" + Base64Encode(documents[i]) +
                "\"}";
    }
    return json + "]}";
}

int Run(int argc, char** argv) {
    std::size_t count = 20000;
    std::size_t size = 1024;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--docs")
            count = std::stoul(argv[i + 1]);
        else if (option == "--size")
            size = std::stoul(argv[i + 1]);
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);  // as the host: the dialog closing ends nothing

    testing::TempDir work;
    const testing::CaAndCert rsa = bench::WriteBenchRsa(work.path());
    std::mt19937_64 rng(20240305);
    std::vector<std::string> documents;
    documents.reserve(count);
    for (std::size_t i = 0; i < count; ++i)
        documents.push_back(bench::RandomBytes(size, rng));

    // The program's parts, as the host puts them together.
    QtLogSink log;
    MainWindow::Actions actions;
    actions.trayAvailable = [] { return false; };
    MainWindow window(log, actions);
    testing::RecordingNotifier notifier;
    testing::ScriptedPrompt credentials;
    testing::ScriptedServerPrompt serverLogin;
    SettingsStore settings;
    Settings current;
    current.hashAlgOID = kSha256;
    settings.Replace(current);
    std::atomic<int> stage{0};
    DialogEnvironment environment(log);
    environment.storeLocation = work.path();
    QtSigningDialogs dialogs(environment);
    testing::CaptureServerOptions serverOptions;
    serverOptions.keepBodies = false;
    testing::CaptureServer target(serverOptions);
    TDelivery delivery(DeliveryServices{
        .log = log,
        .settings = settings,
        .notifier = notifier,
        .credentials = credentials,
        .serverLogin = serverLogin,
        .stage = stage,
        .settingsPath = (work / "korvalo.ini").string(),
        .protocolFile = [] { return std::shared_ptr<TMyFile>(); },
        .unloadAvCryptMail = [] {},
        .serverVersion = "1.0.0.0",
    });
    NoIdCard idCard;
    RequestDispatcher dispatcher(DispatcherServices{
        .log = log,
        .settings = [&settings] { return settings.Snapshot(); },
        .protocolFile = [] { return std::shared_ptr<TMyFile>(); },
        .dialogs = dialogs,
        .notifier = notifier,
        .idCard = idCard,
        .uploader = delivery,
        .stage = stage,
        .tempFolder = (work / "temp").string() + "/",
    });
    EndpointOptions endpointOptions;
    endpointOptions.port = 0;
    endpointOptions.listenIpv6 = false;
    HttpServer endpoint(dispatcher, endpointOptions);
    endpoint.Open();

    // The browser: posts the batch and waits for the answer.
    const std::string body = BatchDocument(documents, target.Url("/answer"), rsa.cert.SerialText());
    const std::string request =
        "POST / HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: "
        "application/json\r\nContent-Length: " +
        std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
    std::atomic<bool> answered{false};
    SteadyClock::time_point answerAt;
    std::string answer;
    std::thread browser([&] {
        testing::RawConnection connection("127.0.0.1", endpoint.Port());
        connection.Send(request);
        answer = connection.ReadAll(std::chrono::minutes(10));
        answerAt = SteadyClock::now();
        answered = true;
    });

    // The person: presses "Подписать" as soon as the batch dialog offers it.
    // The dialog's end (the engine done) is noted as well, to tell the signing from the rest.
    SteadyClock::time_point clickAt;
    SteadyClock::time_point closedAt;
    bool clicked = false;
    bool closed = false;
    QTimer presser;
    presser.setInterval(1);
    QObject::connect(&presser, &QTimer::timeout, [&] {
        bool open = false;
        for (QWidget* top : QApplication::topLevelWidgets()) {
            auto* dialog = qobject_cast<TFSignFiles*>(top);
            if (dialog == nullptr || !dialog->isVisible())
                continue;
            open = true;
            if (!clicked && dialog->BtnSign()->isEnabled()) {
                clicked = true;
                clickAt = SteadyClock::now();
                dialog->BtnSign()->click();
            }
        }
        if (clicked && !closed && !open) {
            closed = true;
            closedAt = SteadyClock::now();
        }
        if (answered)
            application.quit();
    });
    presser.start();
    QTimer limit;
    limit.setSingleShot(true);
    QObject::connect(&limit, &QTimer::timeout, [&] { application.quit(); });
    limit.start(std::chrono::minutes(10));
    application.exec();
    presser.stop();
    browser.join();
    endpoint.Close();

    if (!clicked || !answered || answer.rfind("HTTP/1.1 200 OK", 0) != 0 ||
        target.RequestCount() != 1 || !target.Requests()[0].complete) {
        std::fprintf(stderr, "the batch did not go through: %s\n", answer.substr(0, 200).c_str());
        return 1;
    }
    const double korvalo = Seconds(answerAt - clickAt).count();
    const double dialog = Seconds((closed ? closedAt : answerAt) - clickAt).count();
    const double plain = PlainLoop(rsa.cert, documents);
    const double n = static_cast<double>(count);
    std::printf("batch of %zu documents of %zu bytes, RSA-2048, SHA-256; load %s\n", count, size,
                LoadAverage().c_str());
    std::printf("  press of \"Подписать\" to the browser's answer: %.3f s (%.3f ms a document)\n",
                korvalo, korvalo * 1000 / n);
    std::printf(
        "    of which the dialog at work:              %.3f s; answer, upload and reply "
        "%.3f s\n",
        dialog, korvalo - dialog);
    std::printf("  plain signing loop (CMS_sign):               %.3f s (%.3f ms a document)\n",
                plain, plain * 1000 / n);
    const double ratio = korvalo / plain;
    std::printf("  ratio %.2f (goal <= 1.30: %s); the answer uploaded: %llu bytes\n", ratio,
                ratio <= 1.3 ? "met" : "NOT met",
                static_cast<unsigned long long>(target.Requests()[0].bodySize));
    return 0;
}

}  // namespace
}  // namespace korvalo

int main(int argc, char** argv) {
    try {
        return korvalo::Run(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "batch bench: %s\n", e.what());
        return 1;
    }
}
