#include "core/redirect_record.h"

#include <algorithm>

namespace hbt {

bool RedirectRecordMatches(const RedirectRecord& record, const SocketAddressSlot& peer) {
    const SocketAddressSlot& own = record.clientAddress;
    if (own.Family() != peer.Family() || !(own.IsIpv4() || own.IsIpv6())) return false;
    if (own.Port() != peer.Port()) return false;
    const uint8_t* address = own.AddressBytes();
    const std::size_t length = own.AddressLength();
    const bool wildcard = std::all_of(address, address + length, [](uint8_t b) { return b == 0; });
    return wildcard || own.SameAddress(peer);
}

}  // namespace hbt
