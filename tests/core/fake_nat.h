#pragma once
// Stands in for the kernel's address translation in tests that connect to the
// proxy directly: which destination the connection from each client port was
// redirected from.
#include <map>
#include <mutex>
#include <optional>

#include "core/hbt_core.h"
#include "platform/socket_calls.h"

namespace hbt::test {

class FakeNat {
public:
    void Redirect(uint16_t clientPort, const SocketAddressSlot& destination) {
        std::lock_guard lock(mutex_);
        destinations_[clientPort] = destination;
    }
    // The lookup for CHbtCore::SetOriginalDestinationLookup; the fake must
    // outlive the core.
    CHbtCore::OriginalDestinationLookup Lookup() {
        return [this](SocketHandle handle) -> std::optional<SocketAddressSlot> {
            const std::optional<SocketAddressSlot> peer = PeerAddress(handle);
            if (!peer) return std::nullopt;
            std::lock_guard lock(mutex_);
            const auto found = destinations_.find(peer->Port());
            if (found == destinations_.end()) return std::nullopt;
            return found->second;
        };
    }

private:
    std::mutex mutex_;
    std::map<uint16_t, SocketAddressSlot> destinations_;
};

}  // namespace hbt::test
