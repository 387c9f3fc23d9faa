// korvalo-renovar-standin: stands in for the maker's updater "Renovar". It records the
// arguments it was started with to a file and shows them in a message box.
//
// The record: $KORVALO_RENOVAR_RECORD, or "renovar-arguments.json" beside the program; a JSON
// object {"arguments": [...], "folder": "<current folder>"}, written whole (under a passing
// name, then renamed). The box closes by itself after $KORVALO_RENOVAR_CLOSE_MS milliseconds
// when that is set; without a display the arguments go to standard output instead.

#include <QApplication>
#include <QMessageBox>
#include <QTimer>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

fs::path RecordFile(const char* argv0) {
    const std::string chosen = Env("KORVALO_RENOVAR_RECORD");
    if (!chosen.empty())
        return chosen;
    std::error_code ec;
    fs::path self = fs::read_symlink("/proc/self/exe", ec);
    if (ec)
        self = fs::absolute(argv0, ec);
    return self.parent_path() / "renovar-arguments.json";
}

bool Record(const fs::path& file, const std::vector<std::string>& arguments) {
    std::error_code ec;
    const nlohmann::json record = {{"arguments", arguments},
                                   {"folder", fs::current_path(ec).string()}};
    const fs::path passing = file.string() + ".new";
    {
        std::ofstream out(passing, std::ios::binary | std::ios::trunc);
        out << record.dump() << "\n";
        if (!out.flush())
            return false;
    }
    fs::rename(passing, file, ec);
    return !ec;
}

bool DisplayAvailable() {
    return !Env("DISPLAY").empty() || !Env("WAYLAND_DISPLAY").empty() ||
           !Env("QT_QPA_PLATFORM").empty();
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> arguments(argv + 1, argv + argc);
    const fs::path record = RecordFile(argv[0]);
    if (!Record(record, arguments)) {
        std::cerr << "korvalo-renovar-standin: cannot write " << record << "\n";
        return 1;
    }
    QString text = QStringLiteral("Программа обновления (стенд) запущена с аргументами:\n");
    for (std::size_t i = 0; i < arguments.size(); ++i)
        text += QStringLiteral("\n%1. [%2]").arg(i + 1).arg(QString::fromStdString(arguments[i]));
    if (!DisplayAvailable()) {
        std::cout << text.toStdString() << std::endl;
        return 0;
    }

    QApplication application(argc, argv);
    QMessageBox box(QMessageBox::Information, QStringLiteral("Renovar"), text, QMessageBox::Ok);
    box.setObjectName(QStringLiteral("RenovarStandin"));
    const std::string closeAfter = Env("KORVALO_RENOVAR_CLOSE_MS");
    if (!closeAfter.empty())
        QTimer::singleShot(std::atoi(closeAfter.c_str()), &box, &QMessageBox::accept);
    box.exec();
    return 0;
}
