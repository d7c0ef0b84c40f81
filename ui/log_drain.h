#pragma once
// LogDrain: each time lines arrive in the log queue, the GUI thread moves
// them all to the sinks (the log window and the file) and then runs
// `drained`, the refresh of the statistics links. Lines queued before the
// drain exists, or after it is gone, are not taken.
#include <QObject>

#include <functional>
#include <vector>

namespace hbt {

class CDispatcher;
class LogSink;

class LogDrain : public QObject {
    Q_OBJECT
public:
    // The dispatcher outlives the drain.
    LogDrain(CDispatcher& dispatcher, std::vector<LogSink*> sinks, std::function<void()> drained);
    ~LogDrain() override;

    void Drain();

private:
    std::vector<LogSink*> sinks_;
    std::function<void()> drained_;
};

}  // namespace hbt
