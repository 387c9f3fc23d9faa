#include "state/settings/user_ini.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "core/paths.h"
#include "core/unique_fd.h"

namespace korvalo {

namespace fs = std::filesystem;

namespace {

std::string ErrnoText(const std::string& what, int error) {
    return what + ": " + std::strerror(error);
}

// Reads the administrator's file into bytes. False with error set when it cannot; false with
// error empty when there is no such file.
[[nodiscard]] bool ReadAdministratorIni(const std::string& path, std::string& bytes,
                                        std::string& error) {
    const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd.ok()) {
        if (errno != ENOENT)
            error = ErrnoText("cannot read " + path, errno);
        return false;
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) {
        error = ErrnoText("cannot read " + path, errno);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        error = path + " is not a regular file";
        return false;
    }
    if (static_cast<std::size_t>(st.st_size) > kMaxAdministratorIniBytes) {
        error = path + " is larger than " + std::to_string(kMaxAdministratorIniBytes) + " bytes";
        return false;
    }
    char buffer[8192];
    while (true) {
        const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            error = ErrnoText("cannot read " + path, errno);
            return false;
        }
        if (n == 0)
            return true;
        bytes.append(buffer, static_cast<std::size_t>(n));
        if (bytes.size() > kMaxAdministratorIniBytes) {
            error =
                path + " is larger than " + std::to_string(kMaxAdministratorIniBytes) + " bytes";
            return false;
        }
    }
}

// Writes bytes to a new private file in folder and returns its path; empty with error set when
// it cannot.
std::string WriteTemporaryCopy(const fs::path& folder, const std::string& bytes,
                               std::string& error) {
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
        const fs::path temp = folder / (".korvalo.ini.new" + std::to_string(::getpid()) + "-" +
                                        std::to_string(counter++));
        UniqueFd fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
        if (!fd.ok()) {
            if (errno == EEXIST)
                continue;
            error = ErrnoText("cannot write in " + folder.string(), errno);
            return {};
        }
        std::size_t written = 0;
        while (written < bytes.size()) {
            const ssize_t n = ::write(fd.get(), bytes.data() + written, bytes.size() - written);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            written += static_cast<std::size_t>(n);
        }
        if (written != bytes.size() || ::fsync(fd.get()) != 0 || fd.close() != 0) {
            error = ErrnoText("cannot write " + temp.string(), errno);
            ::unlink(temp.c_str());
            return {};
        }
        return temp.string();
    }
    error = "cannot write in " + folder.string();
    return {};
}

}  // namespace

UserIniOutcome PrepareUserIni(const SettingsPaths& paths) {
    UserIniOutcome outcome;
    if (paths.defaultsIni.empty())
        return outcome;
    const fs::path main(paths.mainIni);
    const fs::path folder = main.parent_path();
    if (!folder.empty() && !CreatePrivateFolders(folder.string())) {
        outcome.error = "cannot create the folder " + folder.string();
        return outcome;
    }
    struct stat st {};
    if (::lstat(main.c_str(), &st) == 0)
        return outcome;  // the user's own file (or whatever stands there) is kept

    std::string bytes;
    if (!ReadAdministratorIni(paths.defaultsIni, bytes, outcome.error))
        return outcome;
    const std::string temp =
        WriteTemporaryCopy(folder.empty() ? fs::path(".") : folder, bytes, outcome.error);
    if (temp.empty())
        return outcome;
    // link() never replaces: a file made meanwhile (by a second copy) stays.
    if (::link(temp.c_str(), main.c_str()) == 0)
        outcome.copied = true;
    else if (errno != EEXIST)
        outcome.error = ErrnoText("cannot create " + main.string(), errno);
    ::unlink(temp.c_str());
    return outcome;
}

}  // namespace korvalo
