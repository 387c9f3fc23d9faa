#pragma once
// A double of the system's proxy settings (ISystemProxySource).

#include <atomic>
#include <stdexcept>
#include <utility>

#include "platform/net/system_proxy.h"

namespace korvalo::testing {

// Says what the test tells it to (no proxy unless told) and counts the questions, which may
// come from any thread; with fail set it throws as an unreadable system setting does. The test
// sets answer and fail while nothing asks.
class FakeSystemProxy : public ISystemProxySource {
public:
    explicit FakeSystemProxy(SystemProxy answer = {}) : answer(std::move(answer)) {}

    SystemProxy GetSystemProxy() override {
        ++calls_;
        if (fail)
            throw std::runtime_error("system proxy unreadable");
        return answer;
    }
    int Calls() const { return calls_.load(); }

    SystemProxy answer;
    bool fail = false;

private:
    std::atomic<int> calls_{0};
};

}  // namespace korvalo::testing
