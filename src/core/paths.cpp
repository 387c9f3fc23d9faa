#include "core/paths.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

namespace korvalo {

namespace fs = std::filesystem;

namespace {

std::string EnvOr(const char* name, const std::string& fallback) {
    const char* v = std::getenv(name);
    return (v != nullptr && *v != '\0') ? std::string(v) : fallback;
}

std::string WithSlash(std::string folder) {
    if (folder.empty() || folder.back() != '/')
        folder.push_back('/');
    return folder;
}

}  // namespace

std::string ExecutablePath() {
    std::error_code ec;
    const fs::path p = fs::read_symlink("/proc/self/exe", ec);
    return ec ? std::string() : p.string();
}

std::string ExecutableFolder() {
    return WithSlash(fs::path(ExecutablePath()).parent_path().string());
}

std::string MainIniPath() {
    const fs::path exe(ExecutablePath());
    fs::path ini = exe;
    ini.replace_extension(".ini");
    return EnvOr("KORVALO_INI", ini.string());
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

std::string PerUserIniFolder() {
    const fs::path exe(ExecutablePath());
    const std::string config = EnvOr("XDG_CONFIG_HOME", HomeFolder() + "/.config");
    return WithSlash(config) + "VALDOR/" + exe.stem().string() + "/";
}

std::string PerUserIniPath() {
    fs::path name = fs::path(ExecutablePath()).filename();
    name.replace_extension(".ini");
    return PerUserIniFolder() + name.string();
}

std::string ProtocolFilePath() {
    return ExecutableFolder() + "request.txt";
}

std::string SystemTempFolder() {
    return WithSlash(EnvOr("TMPDIR", "/tmp"));
}

std::string KorvaloTempFolder() {
    return SystemTempFolder() + "Korvalo/";
}

std::string DocumentsFolder() {
    return HomeFolder() + "/Documents/";
}

}  // namespace korvalo
