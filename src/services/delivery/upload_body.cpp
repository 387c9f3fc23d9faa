#include "services/delivery/upload_body.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

namespace korvalo {

namespace {

std::size_t PageRounded(std::size_t n) {
    const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    return (std::max<std::size_t>(n, 1) + page - 1) / page * page;
}

void AdviseHugePages(void* block, std::size_t bytes) {
#ifdef MADV_HUGEPAGE
    (void)::madvise(block, bytes, MADV_HUGEPAGE);  // a hint; plain pages work as well
#endif
}

}  // namespace

UploadBody::UploadBody(std::size_t capacity) : mapped_(PageRounded(capacity)) {
    void* block =
        ::mmap(nullptr, mapped_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (block == MAP_FAILED)
        throw std::bad_alloc();
    AdviseHugePages(block, mapped_);
    data_ = static_cast<char*>(block);
    capacity_ = mapped_;
}

UploadBody::~UploadBody() {
    if (data_ != nullptr)
        ::munmap(data_, mapped_);
}

UploadBody::UploadBody(UploadBody&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)),
      mapped_(std::exchange(other.mapped_, 0)) {}

UploadBody& UploadBody::operator=(UploadBody&& other) noexcept {
    if (this != &other) {
        if (data_ != nullptr)
            ::munmap(data_, mapped_);
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
        capacity_ = std::exchange(other.capacity_, 0);
        mapped_ = std::exchange(other.mapped_, 0);
    }
    return *this;
}

void UploadBody::Reserve(std::size_t n) {
    if (Room() >= n)
        return;
    const std::size_t wanted = PageRounded(std::max(size_ + n, capacity_ + capacity_ / 2));
    void* block = ::mremap(data_, mapped_, wanted, MREMAP_MAYMOVE);
    if (block == MAP_FAILED)
        throw std::bad_alloc();
    AdviseHugePages(block, wanted);
    data_ = static_cast<char*>(block);
    mapped_ = capacity_ = wanted;
}

void UploadBody::Append(std::string_view bytes) {
    Reserve(bytes.size());
    std::memcpy(Tail(), bytes.data(), bytes.size());
    Commit(bytes.size());
}

}  // namespace korvalo
