#pragma once
// What the core knows about one accepted proxy connection when it hands it
// to CHttpTraffic: where the client was going, who opened it, and the
// destination key that the connection counts are kept under. Made once, when
// the connection's redirect record is claimed, and passed down by reference
// to the decision, the forwarding and the pages.
#include <cstdint>
#include <string>
#include <vector>

#include "engine_protocol/socket_address_slot.h"

namespace hbt {

// Four 32-bit words (each in the low half of a 64-bit word) of the destination
// as an IPv6 address; an IPv4 destination is written as its IPv4-mapped IPv6
// address. Empty for any other family. Compared lexicographically.
using DestinationKey = std::vector<uint64_t>;

DestinationKey MakeDestinationKey(const SocketAddressSlot& destination);

struct ConnectionDescription {
    SocketAddressSlot destination;
    uint64_t processId = 0;
    std::wstring applicationPath;
    DestinationKey destinationKey;  // of destination
};

ConnectionDescription DescribeConnection(const SocketAddressSlot& destination, uint64_t processId,
                                         std::wstring applicationPath);

}  // namespace hbt
