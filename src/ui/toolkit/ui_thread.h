#pragma once
// Runs work on the UI thread and waits for it: the hand-over that log lines, dialogs, message
// boxes and balloons coming from connection threads go through.

#include <functional>
#include <optional>
#include <type_traits>
#include <utility>

namespace korvalo {

// The UI thread is the thread of the application object (QCoreApplication). Every call below
// may be made from any thread.
//
// Rules for callers: never hold a lock that the UI thread may need while handing over, and
// call Shutdown() on the UI thread before waiting for other threads that may be handing over
// (for example before stopping the endpoint), so that nobody waits for an event loop that no
// longer runs.
class UiThread {
public:
    // True on the UI thread, and when no application object exists (then there is no other
    // thread to hand over to).
    static bool IsUiThread();

    // Runs task on the UI thread and returns when it has run. On the UI thread the task runs
    // at once. From another thread it is queued to the UI thread's event loop, which serves
    // it also while a modal window runs its own loop; tasks from one thread run in the order
    // they were handed over. An exception thrown by task is rethrown here.
    // Returns false when the task was not run because the hand-over has been shut down (the
    // application is ending); the caller then goes on without it.
    [[nodiscard]] static bool Run(const std::function<void()>& task);

    // Like Run for a task with a result: the result, or nothing when the task was not run.
    template <typename F>
    [[nodiscard]] static auto Call(F&& task) -> std::optional<std::invoke_result_t<F&>> {
        std::optional<std::invoke_result_t<F&>> result;
        if (!Run([&] { result.emplace(task()); }))
            return std::nullopt;
        return result;
    }

    // Ends the hand-over for this application object: threads waiting for a task that has
    // not started yet are released (their Run returns false) and later calls from other
    // threads return false at once. Calls on the UI thread still run directly. Happens by
    // itself when the application object is destroyed; a new application object starts a
    // new hand-over.
    static void Shutdown();

    // Opens a new hand-over after Shutdown(), for a host that starts again with the same
    // application object (tests). UI thread only; nothing happens while the hand-over is open.
    static void Reopen();

    // True after Shutdown() for the current application object.
    static bool IsShutDown();
};

}  // namespace korvalo
