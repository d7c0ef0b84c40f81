#include "HbtEngineDrv/engine/capture_pattern.h"

#include "engine_protocol/nfe_config.h"

namespace hbt {

bool MatchesCapturePattern(const NfeConfig& config, const uint8_t* data, std::size_t length) {
    const auto& patterns = config.capturePatterns;
    const auto& masks = config.captureMasks;
    std::size_t index = 0;
    while (index < kNfeCaptureAreaSize) {
        const std::size_t entryLength = patterns[index];
        if (entryLength == 0) return false;
        const std::size_t first = index + 1;
        if (first + entryLength >= kNfeCaptureAreaSize) return false;  // entry runs off the area
        if (entryLength <= length) {
            bool match = true;
            for (std::size_t k = 0; k < entryLength && match; ++k) {
                const uint8_t mask = masks[first + k];
                match = (patterns[first + k] & mask) == (data[k] & mask);
            }
            if (match) return true;
        }
        index = first + entryLength;
    }
    return false;
}

}  // namespace hbt
