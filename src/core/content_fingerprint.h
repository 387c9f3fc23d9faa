#pragma once
// ContentFingerprint: what a signature was made over, kept to know those bytes again when they
// are read once more (the upload): their length and a 128-bit XXH3 hash of them. It tells a
// changed file from the signed one at a fraction of the cost of the signing digest; it proves
// nothing to anyone else (the web service checks the signature itself).

#include <cstdint>
#include <memory>
#include <string_view>

struct XXH3_state_s;

namespace korvalo {

struct ContentFingerprint {
    std::uint64_t size = 0;
    std::uint64_t high = 0;  // the hash's two halves
    std::uint64_t low = 0;

    bool operator==(const ContentFingerprint&) const = default;
};

// Builds the fingerprint of a content fed to it piece by piece.
class FingerprintBuilder {
public:
    FingerprintBuilder();  // throws std::bad_alloc
    ~FingerprintBuilder();
    FingerprintBuilder(const FingerprintBuilder&) = delete;
    FingerprintBuilder& operator=(const FingerprintBuilder&) = delete;

    void Add(std::string_view bytes) noexcept;
    // The fingerprint of everything added since the start (or the last Reset).
    ContentFingerprint Finish() const noexcept;
    void Reset() noexcept;

private:
    struct StateDeleter {
        void operator()(XXH3_state_s* state) const noexcept;
    };
    std::unique_ptr<XXH3_state_s, StateDeleter> state_;
    std::uint64_t size_ = 0;
};

// The fingerprint of bytes held whole.
ContentFingerprint FingerprintOf(std::string_view bytes) noexcept;

}  // namespace korvalo
