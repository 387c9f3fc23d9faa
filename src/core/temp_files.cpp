#include "core/temp_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace korvalo {

namespace {

std::string WithoutTrailingSlashes(std::string path) {
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

std::string ModeText(mode_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

// Why a folder with these properties may not hold the person's files, or "" when it may.
std::string Refusal(const struct stat& st) {
    if (S_ISLNK(st.st_mode))
        return "это символическая ссылка";
    if (!S_ISDIR(st.st_mode))
        return "это не папка";
    if (st.st_uid != ::geteuid())
        return "папка принадлежит другому пользователю (uid " + std::to_string(st.st_uid) + ")";
    if ((st.st_mode & 077) != 0)
        return "папка доступна другим пользователям (права " + ModeText(st.st_mode) + ")";
    return {};
}

}  // namespace

UniqueFd OpenPrivateFolder(const std::string& folder) {
    // Without the trailing "/", so that a link in its place is seen and not followed.
    const std::string path = WithoutTrailingSlashes(folder);
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST)
        throw TempFolderError(std::string("не удается создать папку: ") + std::strerror(errno));
    struct stat link {};
    if (::lstat(path.c_str(), &link) != 0)
        throw TempFolderError(std::string("не удается прочитать папку: ") + std::strerror(errno));
    if (const std::string why = Refusal(link); !why.empty())
        throw TempFolderError(why);
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.ok())
        throw TempFolderError(std::string("не удается открыть папку: ") + std::strerror(errno));
    // What was opened must be what was checked (nobody swapped it in between).
    struct stat opened {};
    if (::fstat(fd.get(), &opened) != 0 || opened.st_dev != link.st_dev ||
        opened.st_ino != link.st_ino)
        throw TempFolderError("папка была подменена во время проверки");
    if (const std::string why = Refusal(opened); !why.empty())
        throw TempFolderError(why);
    return fd;
}

CreatedFile CreateExclusiveFile(int folderFd, const std::string& folder, std::string_view stem,
                                std::string_view extension) {
    constexpr int kMaxAttempts = 100000;
    for (int n = 1; n <= kMaxAttempts; ++n) {
        std::string name(stem);
        if (n > 1)
            name += "_" + std::to_string(n);
        name += extension;
        UniqueFd fd(::openat(folderFd, name.c_str(),
                             O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (fd.ok())
            return CreatedFile{folder + name, std::move(fd)};
        if (errno != EEXIST)
            throw std::runtime_error("Cannot create file " + folder + name + ": " +
                                     std::strerror(errno));
    }
    throw std::runtime_error("Cannot create file " + folder + std::string(stem) +
                             std::string(extension) + ": every name is taken");
}

void WriteAndClose(CreatedFile& file, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(file.fd.get(), bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            throw std::runtime_error("Cannot write file " + file.path + ": " +
                                     std::strerror(errno));
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    if (file.fd.close() != 0)
        throw std::runtime_error("Cannot write file " + file.path + ": " + std::strerror(errno));
}

ScopedFileRemoval::~ScopedFileRemoval() {
    if (!path_.empty())
        ::unlink(path_.c_str());
}

ScopedFileRemoval& ScopedFileRemoval::operator=(ScopedFileRemoval&& other) noexcept {
    if (this != &other) {
        if (!path_.empty())
            ::unlink(path_.c_str());
        path_ = std::move(other.path_);
        other.path_.clear();
    }
    return *this;
}

}  // namespace korvalo
