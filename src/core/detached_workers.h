#pragma once
// DetachedWorkers: the service workers of one kind, each on a detached thread of its own that
// frees the worker when its run ends. A run's end can be awaited, and a host about to end
// terminates every run still going and waits for them. DetachedWorker: the base of such a
// worker class.

#include <atomic>
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

// The life of a worker class Derived whose workers run once each on a thread of their own:
// started by Launch, terminated from any thread, awaited, and listed among the workers of
// their class for a host about to end. Derived provides Execute() (the run; what it throws
// is dropped) and CancelCall() (ends the call under way at once, from any thread).
template <class Derived>
class DetachedWorker {
public:
    // From any thread: marks the worker terminated and ends the call under way.
    void Terminate() {
        terminated_ = true;
        static_cast<Derived*>(this)->CancelCall();
    }
    bool Terminated() const { return terminated_; }
    // True once the run has ended (waits at most timeout).
    [[nodiscard]] bool WaitFor(std::chrono::milliseconds timeout) const {
        return run_->WaitFor(timeout);
    }

    // Every worker of this class that has not ended yet: terminated, or waited for (at most
    // timeout; true when none is left).
    static void TerminateAll() { Workers().TerminateAll(); }
    [[nodiscard]] static bool WaitForAll(std::chrono::milliseconds timeout) {
        return Workers().WaitForAll(timeout);
    }

protected:
    DetachedWorker() = default;
    ~DetachedWorker() = default;

    // Starts worker's run on its own thread; the thread holds the worker until the run ends.
    static void Launch(const std::shared_ptr<Derived>& worker) {
        const std::weak_ptr<Derived> handle = worker;
        static_cast<DetachedWorker&>(*worker).run_ = Workers().Start(
            [worker]() {
                try {
                    worker->Execute();
                } catch (...) {
                    // A hand-over failed on the window's side: the run ends without a word.
                }
            },
            [handle] {
                if (auto live = handle.lock())
                    live->Terminate();
            });
    }

private:
    static DetachedWorkers& Workers() {
        static DetachedWorkers workers;
        return workers;
    }

    std::atomic<bool> terminated_{false};
    std::shared_ptr<const DetachedWorkers::Run> run_;
};

}  // namespace korvalo
