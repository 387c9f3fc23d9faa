// Korvalo: the signing agent in the notification area.

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QSocketNotifier>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <optional>
#include <string_view>

#include "app/host_app.h"
#include "core/paths.h"
#include "core/timestamp.h"
#include "core/version.h"
#include "platform/desktop/window_list.h"
#include "ui/host/qt_log_sink.h"

namespace {

bool EnvSet(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0';
}

// Without a reachable display Korvalo still runs its endpoint, on the offscreen platform. The
// probe's connection stays open (in probe) until Qt has made its own.
bool ChooseOffscreenWhenNoDisplay(std::optional<korvalo::DisplayConnection>& probe) {
    if (EnvSet("QT_QPA_PLATFORM") || EnvSet("WAYLAND_DISPLAY"))
        return false;
    probe.emplace();
    if (probe->reachable())
        return false;
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    return true;
}

// The write end of the pipe that turns SIGTERM, SIGINT and SIGHUP into a quit of the message
// loop (a signal handler may only write to a descriptor).
int g_signalWriteFd = -1;

void OnQuitSignal(int) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(g_signalWriteFd, &byte, 1);
}

// Ends the message loop, as "Выход" does, when the process is asked to terminate.
class QuitOnSignals {
public:
    QuitOnSignals() {
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, fds_) != 0)
            return;
        g_signalWriteFd = fds_[1];
        notifier_ = std::make_unique<QSocketNotifier>(fds_[0], QSocketNotifier::Read);
        QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] {
            char byte = 0;
            while (::read(fds_[0], &byte, 1) == 1) {
            }
            QCoreApplication::quit();
        });
        struct sigaction action {};
        action.sa_handler = &OnQuitSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        for (int signal : {SIGTERM, SIGINT, SIGHUP})
            ::sigaction(signal, &action, nullptr);
    }
    ~QuitOnSignals() {
        notifier_.reset();
        if (fds_[0] >= 0) {
            ::close(fds_[0]);
            ::close(fds_[1]);
        }
    }
    QuitOnSignals(const QuitOnSignals&) = delete;
    QuitOnSignals& operator=(const QuitOnSignals&) = delete;

private:
    int fds_[2] = {-1, -1};
    std::unique_ptr<QSocketNotifier> notifier_;
};

// What "--help" and "--version" ask for; every other argument plays no part.
enum class Question { kNone, kHelp, kVersion };

Question AskedQuestion(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--help" || arg == "-h")
            return Question::kHelp;
        if (arg == "--version")
            return Question::kVersion;
    }
    return Question::kNone;
}

void PrintHelp() {
    const korvalo::ProgramFiles files = korvalo::RunningProgramFiles();
    std::cout << "Korvalo " << korvalo::GetProgramVersion()
              << " - агент электронной подписи в области уведомлений.\n"
                 "Веб-страницы обращаются к нему по адресу http://127.0.0.1:48051/.\n"
                 "\n"
                 "Использование: korvalo [--help | --version]\n"
                 "  --help     показать эту справку и выйти\n"
                 "  --version  показать версию и выйти\n"
                 "\n"
                 "Файлы этой копии ("
              << (files.installed ? "установленная программа" : "программа из папки сборки")
              << "):\n"
                 "  настройки                        "
              << files.mainIni << "\n";
    if (!files.defaultsIni.empty())
        std::cout << "  настройки по умолчанию           " << files.defaultsIni << "\n";
    std::cout << "  прокси поиска адресов            " << files.perUserIni << "\n"
              << "  файл протокола (debug=true)      " << files.protocolFile << "\n"
              << "  сервер-компаньон (provider=IOLA) " << korvalo::ExecutableFolder()
              << "tinyWebServer/run.sh\n";
}

}  // namespace

int main(int argc, char** argv) {
    // Answered before anything opens the endpoint or needs a display.
    switch (AskedQuestion(argc, argv)) {
        case Question::kHelp:
            PrintHelp();
            return 0;
        case Question::kVersion:
            std::cout << "Korvalo " << korvalo::GetProgramVersion() << "\n";
            return 0;
        case Question::kNone:
            break;
    }

    std::optional<korvalo::DisplayConnection> displayProbe;
    const bool noDisplay = ChooseOffscreenWhenNoDisplay(displayProbe);
    QApplication application(argc, argv);
    displayProbe.reset();
    QApplication::setApplicationName(QStringLiteral("Korvalo"));
    QGuiApplication::setDesktopFileName(QString::fromLatin1(korvalo::kApplicationId));
    QuitOnSignals quitOnSignals;

    korvalo::HostOptions options;
    options.echoLog = EnvSet("KORVALO_LOG_STDERR");
    korvalo::HostApplication host(std::move(options));
    if (noDisplay)
        host.Log().PrintInfo(korvalo::LogLine("Нет дисплея - окна Korvalo не видны"));
    return host.Run();
}
