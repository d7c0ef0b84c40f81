#include "core/active_connections.h"

#include <vector>

#include "platform/safe_socket.h"

namespace hbt {

void ActiveConnections::Register(const std::shared_ptr<CSafeSocket>& socket) {
    std::lock_guard lock(lock_);
    connections_[socket.get()] = Entry{socket, false};
    ++unresolved_;
}

void ActiveConnections::MarkResolved(const CSafeSocket* socket) {
    std::lock_guard lock(lock_);
    const auto found = connections_.find(socket);
    if (found == connections_.end() || found->second.resolved) return;
    found->second.resolved = true;
    --unresolved_;
    // Notified under the lock: a waiter may destroy this object as soon as it can see the change.
    changed_.notify_all();
}

void ActiveConnections::AcceptLoopStarted() {
    std::lock_guard lock(lock_);
    ++unresolved_;
}

void ActiveConnections::AcceptLoopEnded() {
    std::lock_guard lock(lock_);
    --unresolved_;
    changed_.notify_all();
}

void ActiveConnections::Unregister(const CSafeSocket* socket) {
    std::lock_guard lock(lock_);
    const auto found = connections_.find(socket);
    if (found == connections_.end()) return;
    if (!found->second.resolved) --unresolved_;
    connections_.erase(found);
    changed_.notify_all();
}

void ActiveConnections::ShutDownAll() {
    std::vector<std::shared_ptr<CSafeSocket>> sockets;
    {
        std::lock_guard lock(lock_);
        for (const auto& [raw, entry] : connections_) {
            if (auto socket = entry.socket.lock()) sockets.push_back(std::move(socket));
        }
    }
    for (const auto& socket : sockets) socket->ShutdownBothWays();
}

void ActiveConnections::WaitUntilNone() {
    std::unique_lock lock(lock_);
    changed_.wait(lock, [this] { return connections_.empty(); });
}

void ActiveConnections::WaitUntilAllResolved() {
    std::unique_lock lock(lock_);
    changed_.wait(lock, [this] { return unresolved_ == 0; });
}

uint64_t ActiveConnections::Unresolved() const {
    std::lock_guard lock(lock_);
    return unresolved_;
}

uint64_t ActiveConnections::Open() const {
    std::lock_guard lock(lock_);
    return connections_.size();
}

}  // namespace hbt
