#include "platform/socket_address.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>

namespace hbt {

std::optional<NativeSocketAddress> ToNative(const SocketAddressSlot& slot) {
    NativeSocketAddress native;
    if (slot.IsIpv4()) {
        auto* in = reinterpret_cast<sockaddr_in*>(&native.storage);
        in->sin_family = AF_INET;
        in->sin_port = htons(slot.Port());
        std::memcpy(&in->sin_addr, slot.AddressBytes(), 4);
        native.length = sizeof(sockaddr_in);
        return native;
    }
    if (slot.IsIpv6()) {
        auto* in6 = reinterpret_cast<sockaddr_in6*>(&native.storage);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(slot.Port());
        std::memcpy(&in6->sin6_flowinfo, &slot.bytes[4], 4);
        std::memcpy(&in6->sin6_addr, slot.AddressBytes(), 16);
        in6->sin6_scope_id = slot.Ipv6ScopeId();
        native.length = sizeof(sockaddr_in6);
        return native;
    }
    return std::nullopt;
}

SocketAddressSlot FromNative(const sockaddr* address, socklen_t length) {
    if (address->sa_family == AF_INET && length >= static_cast<socklen_t>(sizeof(sockaddr_in))) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(address);
        std::array<uint8_t, 4> bytes{};
        std::memcpy(bytes.data(), &in->sin_addr, 4);
        return SocketAddressSlot::Ipv4(bytes, ntohs(in->sin_port));
    }
    if (address->sa_family == AF_INET6 && length >= static_cast<socklen_t>(sizeof(sockaddr_in6))) {
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(address);
        std::array<uint8_t, 16> bytes{};
        std::memcpy(bytes.data(), &in6->sin6_addr, 16);
        uint32_t flow = 0;
        std::memcpy(&flow, &in6->sin6_flowinfo, 4);
        return SocketAddressSlot::Ipv6(bytes, ntohs(in6->sin6_port), flow, in6->sin6_scope_id);
    }
    SocketAddressSlot slot;
    slot.bytes[0] = static_cast<uint8_t>(address->sa_family & 0xFF);
    slot.bytes[1] = static_cast<uint8_t>(address->sa_family >> 8);
    return slot;
}

std::string IpAddressText(const SocketAddressSlot& slot) {
    char buffer[INET6_ADDRSTRLEN] = {};
    if (slot.IsIpv4()) {
        inet_ntop(AF_INET, slot.AddressBytes(), buffer, sizeof(buffer));
    } else if (slot.IsIpv6()) {
        inet_ntop(AF_INET6, slot.AddressBytes(), buffer, sizeof(buffer));
    }
    return buffer;
}

std::string SocketAddressText(const SocketAddressSlot& slot) {
    const std::string port = std::to_string(slot.Port());
    if (slot.IsIpv4()) return IpAddressText(slot) + ":" + port;
    if (slot.IsIpv6()) return "[" + IpAddressText(slot) + "]:" + port;
    return "unknown sa_family " + std::to_string(slot.Family());
}

std::optional<SocketAddressSlot> ParseIpAddress(const std::string& text, uint16_t port) {
    std::array<uint8_t, 4> v4{};
    if (inet_pton(AF_INET, text.c_str(), v4.data()) == 1) return SocketAddressSlot::Ipv4(v4, port);
    std::array<uint8_t, 16> v6{};
    if (inet_pton(AF_INET6, text.c_str(), v6.data()) == 1) return SocketAddressSlot::Ipv6(v6, port);
    return std::nullopt;
}

}  // namespace hbt
