#include "engine_protocol/socket_address_slot.h"

#include <cstring>

namespace hbt {

namespace {
void PutFamily(SocketAddressSlot& slot, uint16_t family) {
    slot.bytes[0] = static_cast<uint8_t>(family & 0xFF);
    slot.bytes[1] = static_cast<uint8_t>(family >> 8);
}
}  // namespace

SocketAddressSlot SocketAddressSlot::Ipv4(const std::array<uint8_t, 4>& address, uint16_t port) {
    SocketAddressSlot slot;
    PutFamily(slot, kFamilyIpv4);
    slot.SetPort(port);
    std::memcpy(&slot.bytes[4], address.data(), 4);
    return slot;
}

SocketAddressSlot SocketAddressSlot::Ipv6(const std::array<uint8_t, 16>& address, uint16_t port,
                                          uint32_t flowInfo, uint32_t scopeId) {
    SocketAddressSlot slot;
    PutFamily(slot, kFamilyIpv6);
    slot.SetPort(port);
    // Flow information and scope id stay in network order, as in sockaddr_in6.
    std::memcpy(&slot.bytes[4], &flowInfo, 4);
    std::memcpy(&slot.bytes[8], address.data(), 16);
    std::memcpy(&slot.bytes[24], &scopeId, 4);
    return slot;
}

SocketAddressSlot SocketAddressSlot::FromBytes(const uint8_t* data) {
    SocketAddressSlot slot;
    std::memcpy(slot.bytes.data(), data, kSocketAddressSlotSize);
    return slot;
}

uint16_t SocketAddressSlot::Family() const {
    return static_cast<uint16_t>(bytes[0] | (bytes[1] << 8));
}

uint16_t SocketAddressSlot::Port() const {
    return static_cast<uint16_t>((bytes[2] << 8) | bytes[3]);
}

void SocketAddressSlot::SetPort(uint16_t port) {
    bytes[2] = static_cast<uint8_t>(port >> 8);
    bytes[3] = static_cast<uint8_t>(port & 0xFF);
}

const uint8_t* SocketAddressSlot::AddressBytes() const {
    if (IsIpv4()) return &bytes[4];
    if (IsIpv6()) return &bytes[8];
    return nullptr;
}

std::size_t SocketAddressSlot::AddressLength() const {
    if (IsIpv4()) return 4;
    if (IsIpv6()) return 16;
    return 0;
}

std::array<uint8_t, 4> SocketAddressSlot::Ipv4Address() const {
    std::array<uint8_t, 4> a{};
    std::memcpy(a.data(), &bytes[4], 4);
    return a;
}

std::array<uint8_t, 16> SocketAddressSlot::Ipv6Address() const {
    std::array<uint8_t, 16> a{};
    std::memcpy(a.data(), &bytes[8], 16);
    return a;
}

uint32_t SocketAddressSlot::Ipv6ScopeId() const {
    uint32_t scope = 0;
    std::memcpy(&scope, &bytes[24], 4);
    return scope;
}

bool SocketAddressSlot::SameAddress(const SocketAddressSlot& other) const {
    if (Family() != other.Family()) return false;
    std::size_t n = AddressLength();
    return n != 0 && std::memcmp(AddressBytes(), other.AddressBytes(), n) == 0;
}

}  // namespace hbt
