#include "core/content_fingerprint.h"

#include <xxhash.h>

#include <new>

namespace korvalo {

void FingerprintBuilder::StateDeleter::operator()(XXH3_state_s* state) const noexcept {
    XXH3_freeState(state);
}

FingerprintBuilder::FingerprintBuilder() : state_(XXH3_createState()) {
    if (!state_)
        throw std::bad_alloc();
    Reset();
}

FingerprintBuilder::~FingerprintBuilder() = default;

void FingerprintBuilder::Add(std::string_view bytes) noexcept {
    (void)XXH3_128bits_update(state_.get(), bytes.data(), bytes.size());
    size_ += bytes.size();
}

ContentFingerprint FingerprintBuilder::Finish() const noexcept {
    const XXH128_hash_t hash = XXH3_128bits_digest(state_.get());
    return ContentFingerprint{size_, hash.high64, hash.low64};
}

void FingerprintBuilder::Reset() noexcept {
    (void)XXH3_128bits_reset(state_.get());
    size_ = 0;
}

ContentFingerprint FingerprintOf(std::string_view bytes) noexcept {
    const XXH128_hash_t hash = XXH3_128bits(bytes.data(), bytes.size());
    return ContentFingerprint{bytes.size(), hash.high64, hash.low64};
}

}  // namespace korvalo
