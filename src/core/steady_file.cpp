#include "core/steady_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace korvalo {

namespace {

bool SameTime(const timespec& a, const timespec& b) noexcept {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// What tells that a file's content may have changed between two looks at it.
bool SameContentState(const struct stat& a, const struct stat& b) noexcept {
    return a.st_size == b.st_size && SameTime(a.st_mtim, b.st_mtim) &&
           SameTime(a.st_ctim, b.st_ctim);
}

}  // namespace

SteadyFileReader::SteadyFileReader(const std::string& path)
    : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {
    if (!fd_.ok()) {
        Fail(Failure::Open, errno);
        return;
    }
    if (::fstat(fd_.get(), &opened_) != 0) {
        Fail(Failure::Open, errno);
        return;
    }
    if (!S_ISREG(opened_.st_mode)) {
        Fail(Failure::NotRegular, S_ISDIR(opened_.st_mode) ? EISDIR : EINVAL);
        return;
    }
    size_ = static_cast<std::uint64_t>(opened_.st_size);
    (void)::posix_fadvise(fd_.get(), 0, 0, POSIX_FADV_SEQUENTIAL);  // a hint: more read-ahead
}

void SteadyFileReader::Fail(Failure failure, int error) noexcept {
    failure_ = failure;
    errno_ = error;
    fd_.reset();
}

std::size_t SteadyFileReader::Read(char* buffer, std::size_t capacity) {
    if (failure_ != Failure::None || finished_ || capacity == 0)
        return 0;
    if (position_ == size_) {
        CheckEnd();
        return 0;
    }
    const auto wanted =
        static_cast<std::size_t>(std::min<std::uint64_t>(capacity, size_ - position_));
    for (;;) {
        const ssize_t n = ::read(fd_.get(), buffer, wanted);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            Fail(Failure::Read, errno);
            return 0;
        }
        if (n == 0) {
            Fail(Failure::Changed);  // it ends before its size: it shrank
            return 0;
        }
        position_ += static_cast<std::uint64_t>(n);
        return static_cast<std::size_t>(n);
    }
}

void SteadyFileReader::CheckEnd() {
    char probe = 0;
    ssize_t n = 0;
    do {
        n = ::read(fd_.get(), &probe, 1);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        Fail(Failure::Read, errno);
        return;
    }
    struct stat now {};
    if (n > 0 || ::fstat(fd_.get(), &now) != 0 || !SameContentState(opened_, now)) {
        Fail(Failure::Changed);
        return;
    }
    finished_ = true;
}

bool SteadyFileReader::Rewind() {
    if (failure_ != Failure::None)
        return false;
    if (::lseek(fd_.get(), 0, SEEK_SET) != 0) {
        Fail(Failure::Read, errno);
        return false;
    }
    position_ = 0;
    finished_ = false;
    return true;
}

}  // namespace korvalo
