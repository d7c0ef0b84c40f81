#pragma once
// Conversions between the 28-byte address slot and native socket addresses,
// and the address texts that log lines and keys use.
#include <sys/socket.h>

#include <optional>
#include <string>

#include "engine_protocol/socket_address_slot.h"

namespace hbt {

struct NativeSocketAddress {
    sockaddr_storage storage{};
    socklen_t length = 0;
    const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&storage); }
    sockaddr* get() { return reinterpret_cast<sockaddr*>(&storage); }
};

// nullopt for a family other than IPv4 and IPv6.
std::optional<NativeSocketAddress> ToNative(const SocketAddressSlot& slot);
// A family other than AF_INET/AF_INET6 keeps its number in the slot's family field.
SocketAddressSlot FromNative(const sockaddr* address, socklen_t length);

// "1.2.3.4:80", "[::1]:8080", or "unknown sa_family N".
std::string SocketAddressText(const SocketAddressSlot& slot);
// The address alone: "1.2.3.4" or "::1" (no brackets); empty for other families.
std::string IpAddressText(const SocketAddressSlot& slot);
// Parses "1.2.3.4" or "::1" (no port) into a slot with the given port.
std::optional<SocketAddressSlot> ParseIpAddress(const std::string& text, uint16_t port);

}  // namespace hbt
