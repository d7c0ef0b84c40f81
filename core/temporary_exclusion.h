#pragma once
// Addresses the proxy is connecting to itself, kept out of redirection while
// those connections are set up. Several connections to one address overlap,
// so each entry counts its users.
#include <cstdint>
#include <map>
#include <mutex>
#include <vector>

#include "engine_protocol/socket_address_slot.h"

namespace hbt {

// One word holding the IPv4 address as stored, or four words of the IPv6
// address as stored; empty for other families.
using ExclusionKey = std::vector<uint64_t>;

ExclusionKey MakeExclusionKey(const SocketAddressSlot& address);

struct TemporaryExclusion {
    uint64_t referenceCount = 0;
    SocketAddressSlot address;  // as last given
};

using TemporaryExclusions = std::map<ExclusionKey, TemporaryExclusion>;

class TemporaryExclusionTable {
public:
    void Add(const SocketAddressSlot& address);
    // Drops one reference; an address that is not held is left alone.
    void Remove(const SocketAddressSlot& address);
    TemporaryExclusions Copy() const;
    // Same family and address as one of the entries.
    bool IsExcluded(const SocketAddressSlot& address) const;

private:
    mutable std::mutex lock_;
    TemporaryExclusions exclusions_;
};

}  // namespace hbt
