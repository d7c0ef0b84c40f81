#include "engine_protocol/nfe_port_rules.h"

#include <algorithm>

#include "engine_protocol/byte_order.h"
#include "engine_protocol/nfe_protocol.h"

namespace hbt {

NfePortRules NfePortRules::Of(std::vector<NfePortRange> ranges) {
    std::erase_if(ranges, [](const NfePortRange& r) { return r.first == 0 || r.first > r.last; });
    std::sort(ranges.begin(), ranges.end(),
              [](const NfePortRange& a, const NfePortRange& b) { return a.first < b.first; });
    NfePortRules rules;
    rules.allPorts = false;
    for (const NfePortRange& r : ranges) {
        if (!rules.ranges.empty() && r.first <= static_cast<uint32_t>(rules.ranges.back().last) + 1) {
            rules.ranges.back().last = std::max(rules.ranges.back().last, r.last);
        } else {
            rules.ranges.push_back(r);
        }
    }
    const bool everyPort = rules.ranges.size() == 1 && rules.ranges[0] == NfePortRange{1, 65535};
    if (everyPort || rules.ranges.size() > kNfeMaxPortRanges) return All();
    return rules;
}

bool NfePortRules::Holds(uint16_t port) const {
    if (allPorts) return true;
    for (const NfePortRange& r : ranges) {
        if (r.first <= port && port <= r.last) return true;
    }
    return false;
}

std::vector<uint8_t> NfePortRules::Encode() const {
    const std::size_t count = allPorts ? 0 : ranges.size();
    std::vector<uint8_t> out(kNfePortRulesHeaderSize + 4 * count);
    PutU32(&out[0], kNfePortRulesHeaderSize);
    PutU32(&out[4], allPorts ? NFE_PORT_RULES_ALL_PORTS : 0);
    PutU32(&out[8], static_cast<uint32_t>(count));
    for (std::size_t i = 0; i < count; ++i) {
        PutU16(&out[kNfePortRulesHeaderSize + 4 * i], ranges[i].first);
        PutU16(&out[kNfePortRulesHeaderSize + 4 * i + 2], ranges[i].last);
    }
    return out;
}

uint32_t NfePortRules::Decode(const uint8_t* bytes, std::size_t size, NfePortRules& out) {
    if (size < kNfePortRulesHeaderSize) return kStatusInvalidBufferSize;
    if (GetU32(bytes) != kNfePortRulesHeaderSize) return kStatusInvalidParameter1;
    const uint32_t flags = GetU32(bytes + 4);
    const uint32_t count = GetU32(bytes + 8);
    if (count > kNfeMaxPortRanges || size != kNfePortRulesHeaderSize + 4 * std::size_t{count}) {
        return kStatusInvalidParameter2;
    }
    if ((flags & ~NFE_PORT_RULES_ALL_PORTS) != 0) return kStatusInvalidParameter;
    const bool all = (flags & NFE_PORT_RULES_ALL_PORTS) != 0;
    if (all && count != 0) return kStatusInvalidParameter;
    NfePortRules rules;
    rules.allPorts = all;
    for (uint32_t i = 0; i < count; ++i) {
        const NfePortRange r{GetU16(bytes + kNfePortRulesHeaderSize + 4 * i),
                             GetU16(bytes + kNfePortRulesHeaderSize + 4 * i + 2)};
        if (r.first == 0 || r.first > r.last) return kStatusInvalidParameter;
        rules.ranges.push_back(r);
    }
    out = std::move(rules);
    return kStatusSuccess;
}

}  // namespace hbt
