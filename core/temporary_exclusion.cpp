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

void TemporaryExclusionTable::Add(const SocketAddressSlot& address) {
    const ExclusionKey key = MakeExclusionKey(address);
    std::lock_guard lock(lock_);
    TemporaryExclusion& entry = exclusions_[key];
    ++entry.referenceCount;
    entry.address = address;
}

void TemporaryExclusionTable::Remove(const SocketAddressSlot& address) {
    const ExclusionKey key = MakeExclusionKey(address);
    std::lock_guard lock(lock_);
    const auto found = exclusions_.find(key);
    if (found != exclusions_.end() && --found->second.referenceCount == 0) exclusions_.erase(found);
}

TemporaryExclusions TemporaryExclusionTable::Copy() const {
    std::lock_guard lock(lock_);
    return exclusions_;
}

bool TemporaryExclusionTable::IsExcluded(const SocketAddressSlot& address) const {
    // IPv4 keys have one word and IPv6 keys four, so equal keys mean the same family and address.
    const ExclusionKey key = MakeExclusionKey(address);
    if (key.empty()) return false;
    std::lock_guard lock(lock_);
    return exclusions_.count(key) != 0;
}

}  // namespace hbt
