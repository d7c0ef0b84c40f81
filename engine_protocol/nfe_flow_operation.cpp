#include "engine_protocol/nfe_flow_operation.h"

#include <algorithm>

#include "engine_protocol/byte_order.h"

namespace hbt {

namespace off = nfe_flow_operation_offset;

std::vector<uint8_t> NfeFlowOperation::Encode() const {
    std::vector<uint8_t> out(kNfeFlowOperationHeaderSize + data.size(), 0);
    PutU32(&out[off::kHeaderSize], kNfeFlowOperationHeaderSize);
    PutU32(&out[off::kDataLength], static_cast<uint32_t>(data.size()));
    PutU32(&out[off::kStreamFlags], streamFlags);
    PutU64(&out[off::kFlowId], flowId);
    PutU32(&out[off::kOperation], operation);
    std::copy(data.begin(), data.end(), out.begin() + kNfeFlowOperationHeaderSize);
    return out;
}

std::optional<NfeFlowOperation> NfeFlowOperation::Decode(const uint8_t* bytes, std::size_t size) {
    if (size < kNfeFlowOperationHeaderSize) return std::nullopt;
    if (GetU32(bytes + off::kHeaderSize) != kNfeFlowOperationHeaderSize) return std::nullopt;
    if (GetU32(bytes + off::kDataLength) != size - kNfeFlowOperationHeaderSize) return std::nullopt;
    NfeFlowOperation op;
    op.streamFlags = GetU32(bytes + off::kStreamFlags);
    op.flowId = GetU64(bytes + off::kFlowId);
    op.operation = GetU32(bytes + off::kOperation);
    op.data.assign(bytes + kNfeFlowOperationHeaderSize, bytes + size);
    return op;
}

}  // namespace hbt
