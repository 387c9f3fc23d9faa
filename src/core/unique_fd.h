#pragma once
// UniqueFd: sole owner of a POSIX file descriptor, closed when the owner goes out of scope.

#include <unistd.h>

#include <utility>

namespace korvalo {

class UniqueFd {
public:
    UniqueFd() = default;
    // Takes fd over; a negative value owns nothing (a failed open() may be passed directly).
    explicit UniqueFd(int fd) noexcept : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { reset(); }

    int get() const noexcept { return fd_; }
    bool ok() const noexcept { return fd_ >= 0; }

    // Gives the descriptor up without closing it.
    int release() noexcept { return std::exchange(fd_, -1); }
    // Closes the descriptor held (if any) and takes fd over.
    void reset(int fd = -1) noexcept {
        const int old = std::exchange(fd_, fd);
        if (old >= 0)
            ::close(old);
    }
    // Closes now and returns close()'s result, for callers that must know the close
    // succeeded (a file written in full); 0 when nothing was held.
    [[nodiscard]] int close() noexcept {
        const int old = std::exchange(fd_, -1);
        return old >= 0 ? ::close(old) : 0;
    }

private:
    int fd_ = -1;
};

}  // namespace korvalo
