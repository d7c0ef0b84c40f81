#pragma once
// NfeFlowOperation: detach a flow or inject data into it (32-byte header + data).
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace hbt {

inline constexpr uint32_t kNfeFlowOperationHeaderSize = 32;

namespace nfe_flow_operation_offset {
inline constexpr std::size_t kHeaderSize = 0;
inline constexpr std::size_t kDataLength = 4;
inline constexpr std::size_t kStreamFlags = 8;
inline constexpr std::size_t kFlowId = 16;
inline constexpr std::size_t kOperation = 24;
}  // namespace nfe_flow_operation_offset

struct NfeFlowOperation {
    uint32_t streamFlags = 0;
    uint64_t flowId = 0;
    uint32_t operation = 0;
    std::vector<uint8_t> data;

    std::vector<uint8_t> Encode() const;
    // Header size 32 and data length == size - 32; nullopt otherwise.
    static std::optional<NfeFlowOperation> Decode(const uint8_t* bytes, std::size_t size);
};

}  // namespace hbt
