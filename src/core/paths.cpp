#include "core/paths.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>

namespace korvalo {

namespace fs = std::filesystem;

namespace {

// The installed program's own folder below the user's configuration and state folders.
constexpr const char* kInstalledFolderName = "korvalo/";

std::string EnvOr(const char* name, const std::string& fallback) {
    const char* v = std::getenv(name);
    return (v != nullptr && *v != '\0') ? std::string(v) : fallback;
}

std::string WithSlash(std::string folder) {
    if (folder.empty() || folder.back() != '/')
        folder.push_back('/');
    return folder;
}

// An XDG base folder: the variable when it holds an absolute path, else home + fallback.
std::string XdgFolder(const char* name, const char* fallbackBelowHome) {
    const char* v = std::getenv(name);
    if (v != nullptr && v[0] == '/')
        return WithSlash(v);
    return WithSlash(HomeFolder()) + fallbackBelowHome;
}

}  // namespace

bool IsInstalledFolder(const std::string& folder) {
    struct stat st {};
    const std::string marker = WithSlash(folder) + kInstalledMarker;
    return ::lstat(marker.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

ProgramFiles ProgramFilesOf(const std::string& executable) {
    const fs::path exe(executable);
    ProgramFiles files;
    files.installed = IsInstalledFolder(exe.parent_path().string());

    const char* explicitIni = std::getenv("KORVALO_INI");
    if (explicitIni != nullptr && *explicitIni != '\0') {
        files.mainIni = explicitIni;
    } else if (files.installed) {
        files.mainIni = ConfigHome() + kInstalledFolderName + "korvalo.ini";
        files.defaultsIni = kAdministratorIniPath;
    } else {
        fs::path ini = exe;
        ini.replace_extension(".ini");
        files.mainIni = ini.string();
    }

    fs::path perUserName = exe.filename();
    perUserName.replace_extension(".ini");
    files.perUserIni = ConfigHome() + "VALDOR/" + exe.stem().string() + "/" + perUserName.string();

    files.protocolFile = files.installed ? StateHome() + kInstalledFolderName + "request.txt"
                                         : WithSlash(exe.parent_path().string()) + "request.txt";
    return files;
}

std::string ExecutablePath() {
    std::error_code ec;
    const fs::path p = fs::read_symlink("/proc/self/exe", ec);
    return ec ? std::string() : p.string();
}

std::string ExecutableFolder() {
    return WithSlash(fs::path(ExecutablePath()).parent_path().string());
}

ProgramFiles RunningProgramFiles() {
    return ProgramFilesOf(ExecutablePath());
}

std::string MainIniPath() {
    return RunningProgramFiles().mainIni;
}

std::string PerUserIniPath() {
    return RunningProgramFiles().perUserIni;
}

std::string ProtocolFilePath() {
    return RunningProgramFiles().protocolFile;
}

std::string HomeFolder() {
    const char* home = std::getenv("HOME");
    if (home != nullptr && *home != '\0')
        return home;
    if (const passwd* pw = getpwuid(getuid()); pw != nullptr && pw->pw_dir != nullptr) {
        return pw->pw_dir;
    }
    return "/";
}

std::string ConfigHome() {
    return XdgFolder("XDG_CONFIG_HOME", ".config/");
}

std::string StateHome() {
    return XdgFolder("XDG_STATE_HOME", ".local/state/");
}

bool CreatePrivateFolders(const std::string& folder) {
    if (folder.empty())
        return false;
    fs::path made;
    for (const fs::path& part : fs::path(folder).lexically_normal()) {
        made /= part;
        if (part.empty())
            continue;
        if (::mkdir(made.c_str(), 0700) != 0 && errno != EEXIST)
            return false;
    }
    std::error_code ec;
    return fs::is_directory(folder, ec);
}

std::string SystemTempFolder() {
    return WithSlash(EnvOr("TMPDIR", "/tmp"));
}

std::string KorvaloTempFolder() {
    const std::string runtime = EnvOr("XDG_RUNTIME_DIR", "");
    if (!runtime.empty())
        return WithSlash(runtime) + "Korvalo/";
    return SystemTempFolder() + "Korvalo-" + std::to_string(::geteuid()) + "/";
}

std::string DocumentsFolder() {
    return HomeFolder() + "/Documents/";
}

}  // namespace korvalo
