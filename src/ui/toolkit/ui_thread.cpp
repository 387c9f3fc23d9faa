#include "ui/toolkit/ui_thread.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>

namespace korvalo {

namespace {

// One task handed over to the UI thread.
struct Task {
    enum class State { Pending, Running, Done };
    explicit Task(const std::function<void()>& f) : fn(f) {}
    const std::function<void()>& fn;
    State state = State::Pending;
    std::exception_ptr error;
};

// The hand-over of one application object: open from its first use until Shutdown() or the
// object's destruction.
struct HandOver {
    QCoreApplication* app = nullptr;
    std::mutex mutex;
    std::condition_variable done;
    bool closed = false;

    void Close() {
        {
            std::lock_guard lock(mutex);
            closed = true;
        }
        done.notify_all();
    }
};

// The current hand-over; replaced when a new application object appears.
std::mutex g_currentMutex;
std::shared_ptr<HandOver> g_current;

// The application object is being destroyed: its hand-over stays current, closed, so that no
// task is queued to an event loop that will never run again.
void CloseCurrentOnAppDestruction() {
    std::lock_guard lock(g_currentMutex);
    if (g_current)
        g_current->Close();
}

// The hand-over of app, made on first use. Called with g_currentMutex held.
std::shared_ptr<HandOver> HandOverFor(QCoreApplication* app) {
    if (!g_current || g_current->app != app) {
        if (g_current)
            g_current->Close();
        g_current = std::make_shared<HandOver>();
        g_current->app = app;
        qAddPostRoutine(&CloseCurrentOnAppDestruction);
    }
    return g_current;
}

void RunOnUi(const std::shared_ptr<HandOver>& handOver, const std::shared_ptr<Task>& task) {
    {
        std::lock_guard lock(handOver->mutex);
        if (handOver->closed)
            return;  // its caller has been released and no longer waits
        task->state = Task::State::Running;
    }
    try {
        task->fn();
    } catch (...) {
        task->error = std::current_exception();
    }
    {
        std::lock_guard lock(handOver->mutex);
        task->state = Task::State::Done;
    }
    handOver->done.notify_all();
}

}  // namespace

bool UiThread::IsUiThread() {
    const QCoreApplication* app = QCoreApplication::instance();
    return app == nullptr || QThread::currentThread() == app->thread();
}

bool UiThread::Run(const std::function<void()>& fn) {
    if (IsUiThread()) {
        fn();
        return true;
    }
    auto task = std::make_shared<Task>(fn);
    std::shared_ptr<HandOver> handOver;
    {
        std::lock_guard lock(g_currentMutex);
        QCoreApplication* app = QCoreApplication::instance();
        if (app == nullptr)
            return false;  // the application object is being destroyed
        handOver = HandOverFor(app);
        {
            std::lock_guard stateLock(handOver->mutex);
            if (handOver->closed)
                return false;
        }
        // Posting under g_currentMutex: the application object cannot be destroyed meanwhile,
        // because its destruction closes the hand-over under the same mutex first.
        QMetaObject::invokeMethod(
            app, [handOver, task] { RunOnUi(handOver, task); }, Qt::QueuedConnection);
    }
    std::unique_lock lock(handOver->mutex);
    handOver->done.wait(lock, [&] {
        return task->state == Task::State::Done ||
               (handOver->closed && task->state == Task::State::Pending);
    });
    if (task->state != Task::State::Done)
        return false;
    lock.unlock();
    if (task->error)
        std::rethrow_exception(task->error);
    return true;
}

void UiThread::Shutdown() {
    std::shared_ptr<HandOver> handOver;
    {
        std::lock_guard lock(g_currentMutex);
        QCoreApplication* app = QCoreApplication::instance();
        if (app == nullptr)
            return;
        handOver = HandOverFor(app);
    }
    handOver->Close();
}

void UiThread::Reopen() {
    std::lock_guard lock(g_currentMutex);
    QCoreApplication* app = QCoreApplication::instance();
    if (app == nullptr || !IsUiThread() || !g_current || g_current->app != app)
        return;
    {
        std::lock_guard stateLock(g_current->mutex);
        if (!g_current->closed)
            return;
    }
    auto fresh = std::make_shared<HandOver>();
    fresh->app = app;
    g_current = std::move(fresh);
}

bool UiThread::IsShutDown() {
    std::lock_guard lock(g_currentMutex);
    QCoreApplication* app = QCoreApplication::instance();
    if (app == nullptr || !g_current || g_current->app != app)
        return app == nullptr;
    std::lock_guard stateLock(g_current->mutex);
    return g_current->closed;
}

}  // namespace korvalo
