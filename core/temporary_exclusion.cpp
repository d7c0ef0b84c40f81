#include "core/temporary_exclusion.h"

#include <cstring>

namespace hbt {

ExclusionKey MakeExclusionKey(const SocketAddressSlot& address) {
    ExclusionKey key;
    const uint8_t* bytes = address.AddressBytes();
    for (std::size_t offset = 0; bytes && offset < address.AddressLength(); offset += 4) {
        uint32_t word;
        std::memcpy(&word, bytes + offset, sizeof(word));
        key.push_back(word);
    }
    return key;
}

bool IsTemporarilyExcluded(const TemporaryExclusions& exclusions, const SocketAddressSlot& address) {
    // IPv4 keys have one word and IPv6 keys four, so equal keys mean the same family and address.
    const ExclusionKey key = MakeExclusionKey(address);
    return !key.empty() && exclusions.count(key) != 0;
}

}  // namespace hbt
