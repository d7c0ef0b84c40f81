#pragma once
// Addresses the proxy is connecting to itself, kept out of redirection while
// those connections are set up. Several connections to one address overlap,
// so each entry counts its users.
#include <cstdint>
#include <map>
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

// Same family and address as one of the entries.
bool IsTemporarilyExcluded(const TemporaryExclusions& exclusions, const SocketAddressSlot& address);

}  // namespace hbt
