#pragma once
// The bounded queue that carries finished lines to the thread that owns the
// sinks. A receiver (the interface's dispatcher, or the headless runner) is
// told each time the queue goes from empty to non-empty; without a receiver,
// lines are dropped.
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "log/log_record.h"

namespace hbt {

class LogQueue {
public:
    static constexpr std::size_t kCapacity = 1000;

    static LogQueue& Instance();

    // The callback runs on the thread that queued the line, without the queue
    // lock held; it must only hand over (post a message, wake a thread).
    void RegisterReceiver(std::function<void()> notify);
    void ClearReceiver();

    // Queues a copy of the record unless no receiver is registered or the queue is full.
    void Push(const LogRecord& record);
    // Moves every queued record out, leaving the queue empty.
    std::vector<LogRecord> TakeAll();

private:
    std::mutex mutex_;
    std::vector<LogRecord> records_;
    std::shared_ptr<std::function<void()>> receiver_;
};

}  // namespace hbt
