#pragma once
// CommandQueue: work handed to the platform's loop thread from other
// threads, with an event descriptor the loop polls to learn of it.
#include <deque>
#include <functional>
#include <mutex>

namespace hbt {

class CommandQueue {
public:
    CommandQueue() = default;
    ~CommandQueue() { Close(); }
    CommandQueue(const CommandQueue&) = delete;
    CommandQueue& operator=(const CommandQueue&) = delete;

    void Open();
    void Close();
    // Readable when commands wait or the loop was woken.
    int Fd() const { return fd_; }

    // Queues a command for the loop thread.
    void Post(std::function<void()> command);
    // Wakes the loop without a command.
    void Wake();
    // On the loop thread: runs the commands queued so far, in order.
    void RunPending();

private:
    int fd_ = -1;
    std::mutex mutex_;
    std::deque<std::function<void()>> commands_;
};

}  // namespace hbt
