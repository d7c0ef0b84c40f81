#pragma once
// One entry of the excluded-hosts list.
#include <array>
#include <cstdint>
#include <string>

namespace hbt {

inline constexpr int32_t kHostRuleName = 0;  // host name pattern
inline constexpr int32_t kHostRuleIpv4 = 2;  // IPv4 range
inline constexpr int32_t kHostRuleIpv6 = 3;  // IPv6 range

struct HostRule {
    int32_t kind = kHostRuleName;
    // IPv4 ranges use the first 4 bytes; network byte order.
    std::array<uint8_t, 16> first{};
    std::array<uint8_t, 16> last{};
    std::string text;       // the item as typed (host name patterns only)
    std::string lowerText;  // the item in lower case (host name patterns only)

    bool operator==(const HostRule&) const = default;
};

}  // namespace hbt
