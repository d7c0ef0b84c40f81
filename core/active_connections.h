#pragma once
// The client connections of the proxy's connection threads, from accept until
// their thread lets go of the core. Shutdown ends them all and waits for the
// last; Stop waits until each has claimed its redirect record (is resolved)
// and every accept loop has ended, since a loop may still hand in a
// connection it accepted as its listener closed.
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

namespace hbt {

class CSafeSocket;

class ActiveConnections {
public:
    // Called before the connection's thread starts; the connection counts as unresolved.
    void Register(const std::shared_ptr<CSafeSocket>& socket);
    void MarkResolved(const CSafeSocket* socket);
    // An accept loop counts as unresolved while it runs.
    void AcceptLoopStarted();
    void AcceptLoopEnded();
    // The thread's last touch of the core.
    void Unregister(const CSafeSocket* socket);

    // Ends every registered connection in both directions, so that their reads and relays return.
    void ShutDownAll();
    void WaitUntilNone();
    void WaitUntilAllResolved();
    uint64_t Unresolved() const;
    // Registered and not yet let go of: each holds a descriptor or two.
    uint64_t Open() const;

private:
    struct Entry {
        std::weak_ptr<CSafeSocket> socket;
        bool resolved = false;
    };

    mutable std::mutex lock_;
    std::condition_variable changed_;
    std::map<const CSafeSocket*, Entry> connections_;
    uint64_t unresolved_ = 0;
};

}  // namespace hbt
