#pragma once
// The private temporary folder of the user and the files Korvalo writes into it: created
// exclusively, never through a link, and removed again when the request that made them ends.

#include <stdexcept>
#include <string>
#include <string_view>

#include "core/unique_fd.h"

namespace korvalo {

// The temporary folder cannot be used; what() says why, in words for the activity log.
class TempFolderError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Creates the folder (one level, mode 0700) when it is missing and opens it. The folder is
// used only when it is a real folder (not a symbolic link), owned by this user, and gives no
// access to anybody else; otherwise, or when it cannot be created or opened, throws
// TempFolderError. A trailing "/" of folder is allowed.
[[nodiscard]] UniqueFd OpenPrivateFolder(const std::string& folder);

// A file just created in a folder, open for writing.
struct CreatedFile {
    std::string path;  // folder + name
    UniqueFd fd;
};

// Creates a new file in the open folder folderFd (whose path, with a trailing "/", is folder):
// stem + extension, or, when that name is taken, stem + "_2" + extension, "_3" and so on. The
// file is created exclusively (an existing file or link of that name is never opened), with
// mode 0600. Throws std::runtime_error when no file can be created.
[[nodiscard]] CreatedFile CreateExclusiveFile(int folderFd, const std::string& folder,
                                              std::string_view stem, std::string_view extension);

// Writes all bytes to fd and closes it. Throws std::runtime_error naming path on failure.
void WriteAndClose(CreatedFile& file, std::string_view bytes);

// Removes a file when it goes out of scope (nothing when the path is empty).
class ScopedFileRemoval {
public:
    ScopedFileRemoval() = default;
    explicit ScopedFileRemoval(std::string path) : path_(std::move(path)) {}
    ~ScopedFileRemoval();
    ScopedFileRemoval(const ScopedFileRemoval&) = delete;
    ScopedFileRemoval& operator=(const ScopedFileRemoval&) = delete;
    ScopedFileRemoval(ScopedFileRemoval&& other) noexcept : path_(std::move(other.path_)) {
        other.path_.clear();
    }
    ScopedFileRemoval& operator=(ScopedFileRemoval&& other) noexcept;

    const std::string& path() const { return path_; }

private:
    std::string path_;
};

}  // namespace korvalo
