#pragma once
// SteadyFileReader: reads one regular file from its first byte to its last, in pieces, and
// notices every change made to it meanwhile (grown, shrunk, written to), so that the bytes read
// are known to be the file's whole content as it stood when it was opened.

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "core/unique_fd.h"

namespace korvalo {

class SteadyFileReader {
public:
    enum class Failure {
        None,
        Open,        // the file cannot be opened (errorNumber() says why)
        NotRegular,  // a folder, a device, a pipe: nothing with a fixed content
        Read,        // a read failed (errorNumber() says why)
        Changed,     // the file grew, shrank or was written to while it was read
    };

    // Opens path (links are followed) for reading and takes its size; failure() tells whether
    // that worked.
    explicit SteadyFileReader(const std::string& path);

    Failure failure() const noexcept { return failure_; }
    int errorNumber() const noexcept { return errno_; }
    // The size when the file was opened: the number of bytes reading gives.
    std::uint64_t size() const noexcept { return size_; }
    // Bytes read so far.
    std::uint64_t position() const noexcept { return position_; }
    // The whole content has been read and the file found unchanged at its end.
    bool finished() const noexcept { return finished_; }

    // Reads the next bytes, at most capacity, into buffer and returns their count. Returns 0
    // once the whole content has been read and the file was found unchanged (finished()), and
    // on every failure (failure()). capacity 0 reads nothing and checks nothing.
    std::size_t Read(char* buffer, std::size_t capacity);
    // Reads from the first byte again (a repeated request sends the content once more). False,
    // with failure() set, when the file cannot be rewound.
    [[nodiscard]] bool Rewind();

private:
    void Fail(Failure failure, int error = 0) noexcept;
    // At the end of the content: nothing follows it and the file is as it was opened.
    void CheckEnd();

    UniqueFd fd_;
    struct stat opened_ {};
    std::uint64_t size_ = 0;
    std::uint64_t position_ = 0;
    Failure failure_ = Failure::None;
    int errno_ = 0;
    bool finished_ = false;
};

}  // namespace korvalo
