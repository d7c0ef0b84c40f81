#include "platform/ready_threads.h"

#include <utility>

#include "platform/thread_start.h"

namespace hbt {

ReadyThreads::ReadyThreads(std::size_t stackSize, std::size_t keptIdle, std::chrono::milliseconds linger)
    : stackSize_(stackSize), keptIdle_(keptIdle), linger_(linger) {}

ReadyThreads::~ReadyThreads() {
    std::unique_lock lock(mutex_);
    stopping_ = true;
    work_.notify_all();
    ended_.wait(lock, [this] { return threads_ == 0; });
}

bool ReadyThreads::Run(std::function<void()> task) {
    {
        std::lock_guard lock(mutex_);
        if (idle_ > tasks_.size()) {
            tasks_.push_back(std::move(task));
            work_.notify_one();
            return true;
        }
        ++threads_;
        ++started_;
    }
    if (StartDetachedThread([this, task = std::move(task)]() mutable { Serve(std::move(task)); }, stackSize_)) {
        return true;
    }
    std::lock_guard lock(mutex_);
    --threads_;
    --started_;
    ended_.notify_all();
    return false;
}

bool ReadyThreads::NextTask(std::unique_lock<std::mutex>& lock, std::function<void()>& task) {
    for (;;) {
        if (!tasks_.empty()) {
            task = std::move(tasks_.front());
            tasks_.pop_front();
            return true;
        }
        if (stopping_) return false;
        ++idle_;
        const bool woken = work_.wait_for(lock, linger_, [this] { return stopping_ || !tasks_.empty(); });
        --idle_;
        if (!woken && idle_ >= keptIdle_) return false;
    }
}

void ReadyThreads::Serve(std::function<void()> task) {
    std::unique_lock lock(mutex_);
    do {
        lock.unlock();
        task();
        task = nullptr;
        lock.lock();
    } while (NextTask(lock, task));
    --threads_;
    ended_.notify_all();
}

std::size_t ReadyThreads::ThreadCount() const {
    std::lock_guard lock(mutex_);
    return threads_;
}

std::size_t ReadyThreads::IdleCount() const {
    std::lock_guard lock(mutex_);
    return idle_;
}

std::size_t ReadyThreads::ThreadsStarted() const {
    std::lock_guard lock(mutex_);
    return started_;
}

}  // namespace hbt
