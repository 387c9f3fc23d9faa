#include "services/endpoint/handler_pool.h"

namespace korvalo {

HandlerPool::HandlerPool(std::size_t maxThreads) : maxThreads_(maxThreads == 0 ? 1 : maxThreads) {}

HandlerPool::~HandlerPool() {
    Stop();
    std::vector<std::thread> threads;
    {
        std::lock_guard lock(mutex_);
        threads.swap(threads_);
    }
    for (std::thread& t : threads)
        t.join();
}

void HandlerPool::Post(std::function<void()> task) {
    std::unique_lock lock(mutex_);
    if (stopping_)
        return;
    tasks_.push_back(std::move(task));
    if (idle_ < tasks_.size() && threads_.size() < maxThreads_) {
        threads_.emplace_back([this] { Run(); });
    } else {
        lock.unlock();
        wake_.notify_one();
    }
}

void HandlerPool::Stop() {
    std::deque<std::function<void()>> dropped;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        dropped.swap(tasks_);
    }
    wake_.notify_all();
    // dropped tasks are destroyed here, outside the lock
}

std::size_t HandlerPool::ThreadCount() const {
    std::lock_guard lock(mutex_);
    return threads_.size();
}

void HandlerPool::Run() {
    std::unique_lock lock(mutex_);
    while (true) {
        ++idle_;
        wake_.wait(lock, [this] { return stopping_ || !tasks_.empty(); });
        --idle_;
        if (stopping_)
            return;
        std::function<void()> task = std::move(tasks_.front());
        tasks_.pop_front();
        lock.unlock();
        try {
            task();
        } catch (...) {
            // a task reports its own failures; one that escapes must not end the thread
        }
        task = nullptr;
        lock.lock();
    }
}

}  // namespace korvalo
