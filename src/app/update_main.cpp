// korvalo-update: checks for a newer Korvalo at the maker's update service and starts the
// maker's updater, acting for the korvalo executable beside it.

#include <QApplication>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <string_view>

#include "app/update_host.h"
#include "core/paths.h"
#include "core/version.h"
#include "platform/desktop/window_list.h"

namespace {

bool EnvSet(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0';
}

void PrintHelp() {
    std::cout << "korvalo-update " << korvalo::GetProgramVersion()
              << " - проверка обновлений Korvalo.\n"
                 "\n"
                 "Использование: korvalo-update [--help | --version]\n"
                 "\n"
                 "Находит адрес службы обновлений через сервер адресов (окно подключения и,\n"
                 "если подключений несколько, окно выбора), спрашивает службу о новой версии\n"
                 "Korvalo и, с согласия пользователя, запускает программу обновления Renovar\n"
                 "из папки "
              << korvalo::ConfigHome() << "VALDOR/" << korvalo::kInternalName
              << "/ (туда ее копирует _Renovar из папки программы).\n"
                 "Настройки [PathLoader] и [Proxy] берутся из настроек Korvalo в папке\n"
              << korvalo::ExecutableFolder()
              << ".\n"
                 "\n"
                 "Код завершения: 0 - версия актуальна, 1 - обновление запущено,\n"
                 "2 - обновление не выполнено, 3 - подключение не выбрано, 4 - ошибка.\n";
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            PrintHelp();
            return 0;
        }
        if (arg == "--version") {
            std::cout << "korvalo-update " << korvalo::GetProgramVersion() << "\n";
            return 0;
        }
    }
    // Every step asks the person: without a display nothing can be done. The probe's
    // connection stays open until Qt has made its own, so that a display server which resets
    // when its last client leaves does not reset in between.
    std::optional<korvalo::DisplayConnection> probe;
    if (!EnvSet("QT_QPA_PLATFORM") && !EnvSet("WAYLAND_DISPLAY")) {
        probe.emplace();
        if (!probe->reachable()) {
            std::cerr << "korvalo-update: нет дисплея - окна проверки обновлений не могут быть "
                         "показаны\n";
            return korvalo::kUpdateHostError;
        }
    }

    QApplication application(argc, argv);
    probe.reset();
    QApplication::setApplicationName(QStringLiteral("Korvalo"));
    QGuiApplication::setDesktopFileName(QString::fromLatin1(korvalo::kApplicationId));
    korvalo::UpdateHost host;
    return host.Run();
}
