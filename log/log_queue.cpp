#include "log/log_queue.h"

namespace hbt {

LogQueue& LogQueue::Instance() {
    static LogQueue queue;
    return queue;
}

void LogQueue::RegisterReceiver(std::function<void()> notify) {
    std::lock_guard lock(mutex_);
    receiver_ = std::make_shared<std::function<void()>>(std::move(notify));
}

void LogQueue::ClearReceiver() {
    std::lock_guard lock(mutex_);
    receiver_.reset();
}

void LogQueue::Push(const LogRecord& record) {
    std::shared_ptr<std::function<void()>> receiver;
    {
        std::lock_guard lock(mutex_);
        if (!receiver_ || records_.size() >= kCapacity) return;
        if (records_.empty()) receiver = receiver_;
        records_.push_back(record);
    }
    if (receiver) (*receiver)();
}

std::vector<LogRecord> LogQueue::TakeAll() {
    std::lock_guard lock(mutex_);
    std::vector<LogRecord> taken;
    taken.swap(records_);
    return taken;
}

}  // namespace hbt
