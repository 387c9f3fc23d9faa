#pragma once
// A bounded set of handler threads: every task runs on a thread of its own from the set, and
// tasks wait in order while all threads are busy. Threads start on demand.

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace korvalo {

class HandlerPool {
public:
    explicit HandlerPool(std::size_t maxThreads);
    // Lets running tasks finish, drops the tasks still waiting and joins every thread.
    ~HandlerPool();
    HandlerPool(const HandlerPool&) = delete;
    HandlerPool& operator=(const HandlerPool&) = delete;

    // Queues a task. After Stop() the task is destroyed without running.
    void Post(std::function<void()> task);
    // Stops taking tasks; waiting tasks are destroyed, running ones finish.
    void Stop();

    std::size_t ThreadCount() const;

private:
    void Run();

    const std::size_t maxThreads_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> tasks_;
    std::vector<std::thread> threads_;
    std::size_t idle_ = 0;
    bool stopping_ = false;
};

}  // namespace korvalo
