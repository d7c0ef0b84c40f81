#pragma once
// CDispatcher: the GUI thread's mailbox for the other threads. Post hands an
// action over and returns; Send waits until it has run (at once when the
// caller is the GUI thread). Once the event loop has ended, Send runs the
// action on the caller's thread, so a thread that the shutdown waits for
// never waits for the GUI thread in turn.
#include <QObject>

#include <functional>
#include <mutex>

namespace hbt {

class CDispatcher : public QObject {
    Q_OBJECT
public:
    explicit CDispatcher(QObject* parent = nullptr);

    void Post(std::function<void()> action);
    void Send(const std::function<void()>& action);
    // Called on the GUI thread after its event loop ended: runs what was sent meanwhile.
    void StopServing();

private:
    bool OnOwnThread() const;

    std::mutex mutex_;
    bool serving_ = true;
};

}  // namespace hbt
