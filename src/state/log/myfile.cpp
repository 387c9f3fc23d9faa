#include "state/log/myfile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <stdexcept>

#include "core/text.h"
#include "core/unique_fd.h"

namespace korvalo {

namespace {

// Appends of this process are serialised here; the exclusive lock keeps other processes out.
std::mutex& AppendMutex() {
    static std::mutex m;
    return m;
}

std::runtime_error SystemError(const std::string& what) {
    return std::runtime_error(what + ": " + std::strerror(errno));
}

}  // namespace

TMyFile::TMyFile(std::string FN) : FFName(std::move(FN)) {
    ::unlink(FFName.c_str());
    UniqueFd fd(::open(FFName.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0644));
    if (!fd.ok())
        throw std::runtime_error("Error create file");
}

void TMyFile::WriteBuffer(const char* buffer, std::size_t count) {
    std::lock_guard lock(AppendMutex());
    UniqueFd fd(::open(FFName.c_str(), O_RDWR | O_CLOEXEC));
    if (!fd.ok())
        throw SystemError("Cannot open " + FFName);
    if (::flock(fd.get(), LOCK_EX) != 0)
        throw SystemError("Cannot lock " + FFName);
    if (::lseek(fd.get(), 0, SEEK_END) < 0)
        throw SystemError("Cannot seek " + FFName);
    std::size_t done = 0;
    while (done < count) {
        const ssize_t n = ::write(fd.get(), buffer + done, count - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throw SystemError("Cannot write " + FFName);
        }
        done += static_cast<std::size_t>(n);
    }
}

void TMyFile::WriteRecord(std::string_view text) {
    const std::string bytes = ToCp1251(text);
    WriteBuffer(bytes.data(), bytes.size());
}

}  // namespace korvalo
