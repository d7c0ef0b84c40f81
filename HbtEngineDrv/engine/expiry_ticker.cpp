#include "HbtEngineDrv/engine/expiry_ticker.h"

#include <utility>

namespace hbt {

ExpiryTicker::ExpiryTicker(std::function<void()> pass, std::chrono::milliseconds period)
    : pass_(std::move(pass)), period_(period), thread_([this] { Run(); }) {}

ExpiryTicker::~ExpiryTicker() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    stopRequested_.notify_all();
    thread_.join();
}

void ExpiryTicker::Run() {
    std::unique_lock lock(mutex_);
    while (!stopRequested_.wait_for(lock, period_, [this] { return stopping_; })) {
        lock.unlock();
        pass_();
        lock.lock();
    }
}

}  // namespace hbt
