#pragma once
// The memory that holds an upload body: one block sized for the whole body, filled in place.

#include <cstddef>
#include <string_view>

namespace korvalo {

// A growable byte buffer for bodies of up to hundreds of megabytes. The block is anonymous
// memory that the kernel may back with huge pages, so filling it costs a handful of page
// faults instead of one per 4 KiB (which dominates the time of a large upload otherwise).
class UploadBody {
public:
    // Reserves capacity bytes (nothing is touched yet). Throws std::bad_alloc.
    explicit UploadBody(std::size_t capacity);
    ~UploadBody();
    UploadBody(UploadBody&& other) noexcept;
    UploadBody& operator=(UploadBody&& other) noexcept;
    UploadBody(const UploadBody&) = delete;
    UploadBody& operator=(const UploadBody&) = delete;

    void Append(std::string_view bytes);
    // Room for at least n more bytes at Tail(); Commit(k) then takes k of them into the body.
    void Reserve(std::size_t n);
    char* Tail() { return data_ + size_; }
    std::size_t Room() const { return capacity_ - size_; }
    void Commit(std::size_t n) { size_ += n; }

    std::string_view View() const { return {data_, size_}; }
    std::size_t size() const { return size_; }

private:
    char* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
    std::size_t mapped_ = 0;  // bytes mapped (capacity rounded up to whole pages)
};

}  // namespace korvalo
