#include "core/detached_workers.h"

#include <thread>

namespace korvalo {

bool DetachedWorkers::Run::WaitFor(std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [this] { return ended_; });
}

void DetachedWorkers::Run::End() {
    {
        std::lock_guard lock(mutex_);
        ended_ = true;
    }
    changed_.notify_all();
}

std::shared_ptr<const DetachedWorkers::Run> DetachedWorkers::Start(
    std::function<void()> body, std::function<void()> terminate) {
    auto run = std::make_shared<Run>();
    {
        std::lock_guard lock(mutex_);
        running_.push_back(Entry{run, std::move(terminate)});
    }
    std::thread([this, run, body = std::move(body)]() mutable {
        body();
        run->End();
        body = nullptr;
        Finish(run);
    }).detach();
    return run;
}

void DetachedWorkers::Finish(const std::shared_ptr<Run>& run) {
    {
        std::lock_guard lock(mutex_);
        std::erase_if(running_, [&](const Entry& entry) { return entry.run == run; });
    }
    changed_.notify_all();
}

void DetachedWorkers::TerminateAll() {
    std::vector<std::function<void()>> terminates;
    {
        std::lock_guard lock(mutex_);
        for (const Entry& entry : running_)
            terminates.push_back(entry.terminate);
    }
    for (const auto& terminate : terminates) {
        if (terminate)
            terminate();
    }
}

bool DetachedWorkers::WaitForAll(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [this] { return running_.empty(); });
}

}  // namespace korvalo
