#include "http/connection_description.h"

#include <cstring>

namespace hbt {
namespace {

// The 32-bit word at `bytes` as it is stored (network byte order), read the
// same way on every host.
uint64_t StoredWord(const uint8_t* bytes) {
    uint32_t word;
    std::memcpy(&word, bytes, sizeof(word));
    return word;
}

}  // namespace

DestinationKey MakeDestinationKey(const SocketAddressSlot& destination) {
    if (destination.IsIpv4()) {
        static constexpr uint8_t kMappedPrefix[4] = {0, 0, 0xFF, 0xFF};
        return {0, 0, StoredWord(kMappedPrefix), StoredWord(destination.AddressBytes())};
    }
    if (destination.IsIpv6()) {
        const uint8_t* bytes = destination.AddressBytes();
        return {StoredWord(bytes), StoredWord(bytes + 4), StoredWord(bytes + 8), StoredWord(bytes + 12)};
    }
    return {};
}

ConnectionDescription DescribeConnection(const SocketAddressSlot& destination, uint64_t processId,
                                         std::wstring applicationPath) {
    return {destination, processId, std::move(applicationPath), MakeDestinationKey(destination)};
}

}  // namespace hbt
