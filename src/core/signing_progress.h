#pragma once
// SigningProgress: how far one signing run has got (documents signed of all, or bytes of a file
// read), written by the engine on its thread and read by the dialog on the UI thread.

#include <atomic>
#include <cstdint>

namespace korvalo {

class SigningProgress {
public:
    enum class Unit : std::uint8_t { None, Documents, Bytes };

    struct Snapshot {
        Unit unit = Unit::None;  // None: the engine has not said how much there is
        std::uint64_t done = 0;
        std::uint64_t total = 0;
    };

    // The run has total units of work; none is done yet.
    void Start(Unit unit, std::uint64_t total) noexcept {
        done_.store(0, std::memory_order_relaxed);
        total_.store(total, std::memory_order_relaxed);
        unit_.store(unit, std::memory_order_release);
    }
    void Set(std::uint64_t done) noexcept { done_.store(done, std::memory_order_relaxed); }

    Snapshot Read() const noexcept {
        Snapshot s;
        s.unit = unit_.load(std::memory_order_acquire);
        s.total = total_.load(std::memory_order_relaxed);
        s.done = done_.load(std::memory_order_relaxed);
        return s;
    }

private:
    std::atomic<Unit> unit_{Unit::None};
    std::atomic<std::uint64_t> done_{0};
    std::atomic<std::uint64_t> total_{0};
};

}  // namespace korvalo
