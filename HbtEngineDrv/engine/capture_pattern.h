#pragma once
// The capture rule's pattern walk over the configuration's pattern and mask areas.
#include <cstddef>
#include <cstdint>

namespace hbt {

struct NfeConfig;

// True when the data begins with one of the configured patterns under its mask.
bool MatchesCapturePattern(const NfeConfig& config, const uint8_t* data, std::size_t length);

}  // namespace hbt
