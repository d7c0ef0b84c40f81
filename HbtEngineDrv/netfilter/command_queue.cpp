#include "HbtEngineDrv/netfilter/command_queue.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

namespace hbt {

void CommandQueue::Open() { fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK); }

void CommandQueue::Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
}

void CommandQueue::Post(std::function<void()> command) {
    {
        std::lock_guard lock(mutex_);
        commands_.push_back(std::move(command));
    }
    Wake();
}

void CommandQueue::Wake() {
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t n = write(fd_, &one, sizeof one);
}

void CommandQueue::RunPending() {
    uint64_t count = 0;
    [[maybe_unused]] ssize_t r = read(fd_, &count, sizeof count);
    std::deque<std::function<void()>> commands;
    {
        std::lock_guard lock(mutex_);
        commands.swap(commands_);
    }
    for (auto& command : commands) command();
}

}  // namespace hbt
