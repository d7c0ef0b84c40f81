#include "engine_protocol/nfe_config.h"

#include <cstring>

#include "engine_protocol/byte_order.h"

namespace hbt {

namespace off = nfe_config_offset;

std::vector<uint8_t> NfeConfig::Encode() const {
    std::vector<uint8_t> out(kNfeConfigSize, 0);
    uint8_t* p = out.data();
    PutU32(p + off::kSize, size);
    PutU32(p + off::kProcessId, processId);
    p[off::kReservedSwitch] = reservedSwitch;
    p[off::kInterceptOwnProcess] = interceptOwnProcess;
    PutU32(p + off::kMaxEventAge, maxEventAgeSeconds);
    std::memcpy(p + off::kInsertionPrefix, insertionPrefix.data(), insertionPrefix.size());
    p[off::kInsertionTerminator] = insertionTerminator;
    std::memcpy(p + off::kInsertionHostPatterns, insertionHostPatterns.data(), insertionHostPatterns.size());
    std::memcpy(p + off::kInsertionData, insertionData.data(), insertionData.size());
    PutU32(p + off::kInsertionDataLength, insertionDataLength);
    std::memcpy(p + off::kCapturePatterns, capturePatterns.data(), capturePatterns.size());
    std::memcpy(p + off::kCaptureMasks, captureMasks.data(), captureMasks.size());
    return out;
}

NfeConfig NfeConfig::Decode(const uint8_t* p) {
    NfeConfig c;
    c.size = GetU32(p + off::kSize);
    c.processId = GetU32(p + off::kProcessId);
    c.reservedSwitch = p[off::kReservedSwitch];
    c.interceptOwnProcess = p[off::kInterceptOwnProcess];
    c.maxEventAgeSeconds = GetU32(p + off::kMaxEventAge);
    std::memcpy(c.insertionPrefix.data(), p + off::kInsertionPrefix, c.insertionPrefix.size());
    c.insertionTerminator = p[off::kInsertionTerminator];
    std::memcpy(c.insertionHostPatterns.data(), p + off::kInsertionHostPatterns, c.insertionHostPatterns.size());
    std::memcpy(c.insertionData.data(), p + off::kInsertionData, c.insertionData.size());
    c.insertionDataLength = GetU32(p + off::kInsertionDataLength);
    std::memcpy(c.capturePatterns.data(), p + off::kCapturePatterns, c.capturePatterns.size());
    std::memcpy(c.captureMasks.data(), p + off::kCaptureMasks, c.captureMasks.size());
    return c;
}

bool NfeConfig::AppendCapturePattern(const std::vector<uint8_t>& pattern, const std::vector<uint8_t>& mask) {
    if (pattern.empty() || pattern.size() > 255 || mask.size() != pattern.size()) return false;
    std::size_t index = 0;
    while (index < kNfeCaptureAreaSize && capturePatterns[index] != 0) index += 1 + capturePatterns[index];
    if (index + 1 + pattern.size() > kNfeCaptureAreaSize - 1) return false;
    const auto length = static_cast<uint8_t>(pattern.size());
    capturePatterns[index] = length;
    captureMasks[index] = length;
    std::memcpy(&capturePatterns[index + 1], pattern.data(), pattern.size());
    std::memcpy(&captureMasks[index + 1], mask.data(), mask.size());
    return true;
}

}  // namespace hbt
