#pragma once
// ReadyThreads: threads kept waiting for work, so that a task starts without
// the cost of creating a thread. A task finds an idle thread or a new one is
// started (the pool grows under load); a thread idle for longer than the
// linger time ends while more than `keptIdle` threads wait. Destruction runs
// every task already handed in, then waits for every thread to end.
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>

namespace hbt {

class ReadyThreads {
public:
    ReadyThreads(std::size_t stackSize, std::size_t keptIdle, std::chrono::milliseconds linger);
    ~ReadyThreads();
    ReadyThreads(const ReadyThreads&) = delete;
    ReadyThreads& operator=(const ReadyThreads&) = delete;

    // Runs `task` on a thread of the pool; false when no thread was idle and
    // none could be started (the task then never runs).
    bool Run(std::function<void()> task);

    std::size_t ThreadCount() const;
    std::size_t IdleCount() const;
    std::size_t ThreadsStarted() const;

private:
    // Runs the thread's first task, then whatever comes while it waits.
    void Serve(std::function<void()> task);
    bool NextTask(std::unique_lock<std::mutex>& lock, std::function<void()>& task);

    const std::size_t stackSize_;
    const std::size_t keptIdle_;
    const std::chrono::milliseconds linger_;
    mutable std::mutex mutex_;
    std::condition_variable work_;
    std::condition_variable ended_;
    std::deque<std::function<void()>> tasks_;
    std::size_t threads_ = 0;
    std::size_t idle_ = 0;
    std::size_t started_ = 0;
    bool stopping_ = false;
};

}  // namespace hbt
