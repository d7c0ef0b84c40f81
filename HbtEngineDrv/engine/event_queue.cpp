#include "HbtEngineDrv/engine/event_queue.h"

#include "HbtEngineDrv/engine/flow_context.h"
#include "engine_protocol/nfe_protocol.h"

namespace hbt {

namespace {
thread_local int t_deferDepth = 0;
}

bool EventQueue::Append(NfeEvent event, const FlowContext* flow, uint64_t now) {
    {
        std::lock_guard lock(mutex_);
        if (flow != nullptr && flow->detached.load()) return false;
        event.queueTime = now;
        events_.push_back(std::move(event));
        count_.store(events_.size(), std::memory_order_relaxed);
    }
    if (t_deferDepth == 0) ServeWaiting();
    return true;
}

DeviceReply EventQueue::TakeHeadLocked(uint32_t outputCapacity, Take take) {
    DeviceReply reply;
    if (events_.empty()) return reply;  // success with 0 bytes
    const std::size_t needed = events_.front().EncodedSize();
    if (outputCapacity < needed) {
        reply.status = kStatusBufferTooSmall;
        reply.information = static_cast<uint32_t>(needed);
        return reply;
    }
    // Sized first, so the output is allocated once for the whole batch.
    std::size_t total = 0;
    std::size_t count = 0;
    for (const NfeEvent& event : events_) {
        if (total + event.EncodedSize() > outputCapacity) break;
        total += event.EncodedSize();
        ++count;
        if (take == Take::kOne) break;
    }
    reply.output.resize(total);
    uint8_t* out = reply.output.data();
    for (std::size_t i = 0; i < count; ++i) {
        events_.front().EncodeTo(out);
        out += events_.front().EncodedSize();
        events_.pop_front();
    }
    reply.information = static_cast<uint32_t>(total);
    count_.store(events_.size(), std::memory_order_relaxed);
    return reply;
}

std::optional<DeviceReply> EventQueue::GetOrWait(uint32_t outputCapacity, Take take, DeviceCompletion& done) {
    std::lock_guard lock(mutex_);
    if (!events_.empty()) return TakeHeadLocked(outputCapacity, take);
    if (!acceptWaiters_) return DeviceReply{kStatusCancelled, 0, {}};
    waiters_.push_back(Waiter{outputCapacity, take, std::move(done)});
    return std::nullopt;
}

void EventQueue::ServeWaiting() {
    // Each waiting request gets the head event in turn; the first one that
    // finds the queue empty completes with 0 bytes and ends the round.
    for (;;) {
        Waiter waiter;
        DeviceReply reply;
        {
            std::lock_guard lock(mutex_);
            if (waiters_.empty()) return;
            waiter = std::move(waiters_.front());
            waiters_.pop_front();
            reply = TakeHeadLocked(waiter.outputCapacity, waiter.take);
        }
        const bool emptyHanded = reply.status == kStatusSuccess && reply.information == 0;
        waiter.done(std::move(reply));
        if (emptyHanded) return;
    }
}

std::optional<NfeEvent> EventQueue::TakeStreamEvent(uint64_t flowId, FlowContext* markDetached) {
    std::lock_guard lock(mutex_);
    for (auto it = events_.begin(); it != events_.end(); ++it) {
        if (it->type == NFE_EVENT_STREAM_DATA && it->flowId == flowId) {
            NfeEvent event = std::move(*it);
            events_.erase(it);
            count_.store(events_.size(), std::memory_order_relaxed);
            return event;
        }
    }
    if (markDetached != nullptr) markDetached->detached.store(true);
    return std::nullopt;
}

void EventQueue::Clear(bool keepMessages) {
    std::list<NfeEvent> dropped;
    std::lock_guard lock(mutex_);
    for (auto it = events_.begin(); it != events_.end();) {
        auto next = std::next(it);
        if (!keepMessages || it->type != NFE_EVENT_MESSAGE) dropped.splice(dropped.end(), events_, it);
        it = next;
    }
    count_.store(events_.size(), std::memory_order_relaxed);
}

void EventQueue::CancelWaiters() {
    std::deque<Waiter> cancelled;
    {
        std::lock_guard lock(mutex_);
        acceptWaiters_ = false;
        cancelled.swap(waiters_);
    }
    for (Waiter& w : cancelled) w.done(DeviceReply{kStatusCancelled, 0, {}});
}

void EventQueue::Reopen() {
    std::lock_guard lock(mutex_);
    acceptWaiters_ = true;
}

std::optional<uint64_t> EventQueue::HeadQueueTime() const {
    std::lock_guard lock(mutex_);
    if (events_.empty()) return std::nullopt;
    return events_.front().queueTime;
}

EventQueue::DeferServing::DeferServing(EventQueue& queue) : queue_(queue) { ++t_deferDepth; }

EventQueue::DeferServing::~DeferServing() {
    if (--t_deferDepth == 0) queue_.ServeWaiting();
}

}  // namespace hbt
