#pragma once
// NfeCounters: the engine's diagnostic counts (12 bytes).
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace hbt {

inline constexpr uint32_t kNfeCountersSize = 12;

struct NfeCounters {
    uint32_t flowContexts = 0;
    uint32_t redirectRequests = 0;  // pending or remembered for inspection

    std::vector<uint8_t> Encode() const;
    static std::optional<NfeCounters> Decode(const uint8_t* bytes, std::size_t size);
};

}  // namespace hbt
