#pragma once
// The 28-byte socket-address slot that every engine record, RedirectRecord and
// destination key carries. The layout is the one of the engine protocol:
// family (u16, little-endian) 2 or 23, then port and address in network byte
// order. IPv4: family, port, 4 address bytes, 20 zero bytes. IPv6: family,
// port, flow information (u32), 16 address bytes, scope id (u32).
#include <array>
#include <cstddef>
#include <cstdint>

namespace hbt {

inline constexpr std::size_t kSocketAddressSlotSize = 28;
inline constexpr uint16_t kFamilyIpv4 = 2;
inline constexpr uint16_t kFamilyIpv6 = 23;

struct SocketAddressSlot {
    std::array<uint8_t, kSocketAddressSlotSize> bytes{};

    static SocketAddressSlot Ipv4(const std::array<uint8_t, 4>& address, uint16_t port);
    static SocketAddressSlot Ipv6(const std::array<uint8_t, 16>& address, uint16_t port,
                                  uint32_t flowInfo = 0, uint32_t scopeId = 0);
    static SocketAddressSlot FromBytes(const uint8_t* data);  // reads 28 bytes

    uint16_t Family() const;
    bool IsIpv4() const { return Family() == kFamilyIpv4; }
    bool IsIpv6() const { return Family() == kFamilyIpv6; }
    uint16_t Port() const;  // host byte order
    void SetPort(uint16_t port);
    // 4 bytes for IPv4, 16 for IPv6, nullptr for any other family.
    const uint8_t* AddressBytes() const;
    std::size_t AddressLength() const;
    std::array<uint8_t, 4> Ipv4Address() const;
    std::array<uint8_t, 16> Ipv6Address() const;
    uint32_t Ipv6ScopeId() const;

    // Same family and address bytes; port ignored.
    bool SameAddress(const SocketAddressSlot& other) const;
    bool operator==(const SocketAddressSlot& other) const = default;
};

}  // namespace hbt
