#include "engine_protocol/nfe_counters.h"

#include "engine_protocol/byte_order.h"

namespace hbt {

std::vector<uint8_t> NfeCounters::Encode() const {
    std::vector<uint8_t> out(kNfeCountersSize);
    PutU32(&out[0], kNfeCountersSize);
    PutU32(&out[4], flowContexts);
    PutU32(&out[8], redirectRequests);
    return out;
}

std::optional<NfeCounters> NfeCounters::Decode(const uint8_t* bytes, std::size_t size) {
    if (size != kNfeCountersSize || GetU32(bytes) != kNfeCountersSize) return std::nullopt;
    NfeCounters c;
    c.flowContexts = GetU32(bytes + 4);
    c.redirectRequests = GetU32(bytes + 8);
    return c;
}

}  // namespace hbt
