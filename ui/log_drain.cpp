#include "ui/log_drain.h"

#include <QPointer>

#include "log/log_queue.h"
#include "log/log_sink.h"
#include "ui/dispatcher.h"

namespace hbt {

LogDrain::LogDrain(CDispatcher& dispatcher, std::vector<LogSink*> sinks, std::function<void()> drained)
    : sinks_(std::move(sinks)), drained_(std::move(drained)) {
    // A drain posted just before this object went away finds it gone.
    QPointer<LogDrain> self(this);
    LogQueue::Instance().RegisterReceiver([&dispatcher, self] {
        dispatcher.Post([self] {
            if (self) self->Drain();
        });
    });
}

LogDrain::~LogDrain() { LogQueue::Instance().ClearReceiver(); }

void LogDrain::Drain() {
    DrainLogQueue(sinks_);
    drained_();
}

}  // namespace hbt
