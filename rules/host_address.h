#pragma once
// Strict textual IP address readers for the host list. They accept what
// inet_pton accepts (dotted decimal without leading zeros; RFC 4291 text with
// "::" and an optional dotted IPv4 tail) without needing the socket headers.
#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace hbt {

std::optional<std::array<uint8_t, 4>> ParseIpv4Text(std::string_view text);
std::optional<std::array<uint8_t, 16>> ParseIpv6Text(std::string_view text);

}  // namespace hbt
