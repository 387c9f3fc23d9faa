#pragma once
// DetachedWorkers: the service workers of one kind, each on a detached thread of its own that
// frees the worker when its run ends. A run's end can be awaited, and a host about to end
// terminates every run still going and waits for them.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace korvalo {

class DetachedWorkers {
public:
    // The end of one run.
    class Run {
    public:
        // True once the run has ended (waits at most timeout).
        [[nodiscard]] bool WaitFor(std::chrono::milliseconds timeout) const;

    private:
        friend class DetachedWorkers;
        void End();

        mutable std::mutex mutex_;
        mutable std::condition_variable changed_;
        bool ended_ = false;
    };

    DetachedWorkers() = default;
    DetachedWorkers(const DetachedWorkers&) = delete;
    DetachedWorkers& operator=(const DetachedWorkers&) = delete;

    // Runs body on a new detached thread. When body has returned the run is marked ended and
    // body is destroyed (with whatever it holds: the worker frees itself). terminate is what
    // TerminateAll calls for the run while it has not ended. body must not throw.
    std::shared_ptr<const Run> Start(std::function<void()> body, std::function<void()> terminate);

    // Calls terminate of every run that has not ended (outside the lock).
    void TerminateAll();
    // True when no run is left (waits at most timeout).
    [[nodiscard]] bool WaitForAll(std::chrono::milliseconds timeout);

private:
    struct Entry {
        std::shared_ptr<Run> run;
        std::function<void()> terminate;
    };
    void Finish(const std::shared_ptr<Run>& run);

    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Entry> running_;
};

}  // namespace korvalo
