#pragma once
// How many client connections the proxy can hold, and the episodes in which it
// holds that many. A connect redirected into a full proxy would hang (there is
// no descriptor left to accept it with), so while the proxy is full the
// connects it would take go direct instead: the proxy fails open. Each episode
// is logged as it starts and, with the count of connects that went direct, as
// it ends.
#include <cstdint>
#include <mutex>

namespace hbt {

// Descriptors kept for the rest of the program: the listeners, the engine's
// device, log and settings files, HTTPS checks and updates.
inline constexpr uint64_t kDescriptorReserve = 128;

// What is left after the reserve, two descriptors per connection (the
// client's, and the destination's while it is forwarded); at least one.
uint64_t ProxyCapacityForDescriptors(uint64_t descriptorLimit);

class ProxyCapacity {
public:
    // 0 until set.
    uint64_t Capacity() const;
    void SetCapacity(uint64_t connections);

    // Asked for each connect that would be redirected, with the client
    // connections the proxy holds now; false while the proxy is full. It is
    // full from the capacity on and takes connections again below seven
    // eighths of it, so that a proxy that hovers at its capacity does not
    // start an episode for every other connect.
    bool Admit(uint64_t openConnections);

private:
    mutable std::mutex lock_;
    uint64_t capacity_ = 0;
    bool full_ = false;
    uint64_t wentDirect_ = 0;  // in the episode in progress
};

}  // namespace hbt
