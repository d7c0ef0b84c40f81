#pragma once
// The engine's event queue and the get-event requests waiting on it. Both
// live under one lock so that a request never waits while an event is queued.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <list>
#include <mutex>
#include <optional>
#include <vector>

#include "engine_protocol/engine_device.h"
#include "engine_protocol/nfe_event.h"

namespace hbt {

struct FlowContext;

class EventQueue {
public:
    // Appends at the tail, stamped with `now`; refused when `flow` is detached.
    // Waiting requests are served afterwards unless serving is deferred on
    // this thread (see DeferServing).
    bool Append(NfeEvent event, const FlowContext* flow, uint64_t now);

    // How many events one get-event request takes: the head only, or every
    // event from the head on that fits in its output.
    enum class Take { kOne, kAllThatFit };

    // A get-event request: the reply when it completes at once, nullopt when it
    // now waits for an event (`done` is then taken and called later).
    std::optional<DeviceReply> GetOrWait(uint32_t outputCapacity, Take take, DeviceCompletion& done);

    // Unlinks the first stream-data event of the flow. When none is left and
    // `markDetached` is given, marks it detached before the lock is released.
    std::optional<NfeEvent> TakeStreamEvent(uint64_t flowId, FlowContext* markDetached);

    // Drops every event; with keepMessages, driver messages stay.
    void Clear(bool keepMessages);

    // Device close: waiting requests complete with kStatusCancelled and no new
    // request waits until Reopen.
    void CancelWaiters();
    void Reopen();

    std::size_t Count() const { return count_.load(std::memory_order_relaxed); }
    std::optional<uint64_t> HeadQueueTime() const;

    // Holds back the serving of waiting requests on this thread until the
    // outermost DeferServing ends, so that completions never run under the
    // caller's locks.
    class DeferServing {
    public:
        explicit DeferServing(EventQueue& queue);
        ~DeferServing();
        DeferServing(const DeferServing&) = delete;
        DeferServing& operator=(const DeferServing&) = delete;

    private:
        EventQueue& queue_;
    };

private:
    struct Waiter {
        uint32_t outputCapacity;
        Take take;
        DeviceCompletion done;
    };

    DeviceReply TakeHeadLocked(uint32_t outputCapacity, Take take);
    void ServeWaiting();

    mutable std::mutex mutex_;
    std::list<NfeEvent> events_;
    std::deque<Waiter> waiters_;
    bool acceptWaiters_ = true;
    std::atomic<std::size_t> count_{0};
};

}  // namespace hbt
