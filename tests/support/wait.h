#pragma once
// Waiting for what another thread or process does, bounded in time.

#include <chrono>
#include <functional>
#include <thread>

namespace korvalo::testing {

// Asks done() every step until it says yes or limit has passed (then once more); tells
// whether it said yes.
inline bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit,
                      std::chrono::milliseconds step = std::chrono::milliseconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (done())
            return true;
        std::this_thread::sleep_for(step);
    }
    return done();
}

}  // namespace korvalo::testing
