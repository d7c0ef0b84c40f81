#pragma once
// NfePortRules: the destination ports whose new outgoing connects the engine
// holds for the program; every other connect goes on in the kernel without
// reaching the engine. Sent with NFE_IOCTL_SET_PORT_RULES.
//
// Wire layout (little-endian), 12 + 4 * count bytes:
//   u32 size of the header (12), u32 flags, u32 count,
//   then count ranges of u16 first port, u16 last port (1 <= first <= last).
// With NFE_PORT_RULES_ALL_PORTS set the count is 0 and every port is held.
// No flag and no range: nothing is held.
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace hbt {

inline constexpr uint32_t kNfePortRulesHeaderSize = 12;
inline constexpr uint32_t kNfeMaxPortRanges = 256;
inline constexpr uint32_t NFE_PORT_RULES_ALL_PORTS = 0x00000001;

struct NfePortRange {
    uint16_t first = 0;
    uint16_t last = 0;
    bool operator==(const NfePortRange&) const = default;
};

struct NfePortRules {
    bool allPorts = true;  // what an engine holds before any program configured it
    std::vector<NfePortRange> ranges;

    static NfePortRules All() { return {}; }
    // Sorted, with overlapping and adjacent ranges joined; ranges that are
    // not 1 <= first <= last are left out. More ranges than one record
    // carries: every port (holding too much is safe, too little is not).
    static NfePortRules Of(std::vector<NfePortRange> ranges);

    bool Holds(uint16_t port) const;
    std::vector<uint8_t> Encode() const;
    // NTSTATUS: success, or why the record is refused (out left alone then).
    static uint32_t Decode(const uint8_t* bytes, std::size_t size, NfePortRules& out);

    bool operator==(const NfePortRules&) const = default;
};

}  // namespace hbt
