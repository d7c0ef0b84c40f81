#include "core/redirect_record.h"

#include <algorithm>

namespace hbt {

bool RedirectRecordMatches(const RedirectRecord& record, const SocketAddressSlot& peer) {
    return record.clientAddress.Port() == peer.Port() && RedirectRecordFromClient(record, peer);
}

bool RedirectRecordFromClient(const RedirectRecord& record, const SocketAddressSlot& peer) {
    const SocketAddressSlot& own = record.clientAddress;
    if (own.Family() != peer.Family() || !(own.IsIpv4() || own.IsIpv6())) return false;
    const uint8_t* address = own.AddressBytes();
    const std::size_t length = own.AddressLength();
    const bool wildcard = std::all_of(address, address + length, [](uint8_t b) { return b == 0; });
    return wildcard || own.SameAddress(peer);
}

bool SameEndpoint(const SocketAddressSlot& a, const SocketAddressSlot& b) {
    return a.Family() == b.Family() && a.Port() == b.Port() && a.SameAddress(b);
}

}  // namespace hbt
