#pragma once
// NfeConfig: the engine's configuration record, exactly 51244 bytes on the wire.
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace hbt {

inline constexpr uint32_t kNfeConfigSize = 51244;
inline constexpr std::size_t kNfeInsertionPrefixSize = 20;
inline constexpr std::size_t kNfeInsertionHostPatternsSize = 50000;
inline constexpr std::size_t kNfeInsertionDataSize = 1000;
inline constexpr std::size_t kNfeCaptureAreaSize = 100;

namespace nfe_config_offset {
inline constexpr std::size_t kSize = 0;
inline constexpr std::size_t kProcessId = 4;
inline constexpr std::size_t kReservedSwitch = 8;
inline constexpr std::size_t kInterceptOwnProcess = 9;
inline constexpr std::size_t kMaxEventAge = 12;
inline constexpr std::size_t kInsertionPrefix = 16;
inline constexpr std::size_t kInsertionTerminator = 36;
inline constexpr std::size_t kInsertionHostPatterns = 37;
inline constexpr std::size_t kInsertionData = 50037;
inline constexpr std::size_t kInsertionDataLength = 51040;
inline constexpr std::size_t kCapturePatterns = 51044;
inline constexpr std::size_t kCaptureMasks = 51144;
// The host pattern area must end in two zero bytes at these offsets.
inline constexpr std::size_t kHostPatternsEnd1 = 50035;
inline constexpr std::size_t kHostPatternsEnd2 = 50036;
}  // namespace nfe_config_offset

struct NfeConfig {
    uint32_t size = kNfeConfigSize;
    uint32_t processId = 0;
    uint8_t reservedSwitch = 0;
    uint8_t interceptOwnProcess = 0;
    uint32_t maxEventAgeSeconds = 0;  // 0: no limit
    std::array<uint8_t, kNfeInsertionPrefixSize> insertionPrefix{};
    uint8_t insertionTerminator = 0;
    std::array<uint8_t, kNfeInsertionHostPatternsSize> insertionHostPatterns{};
    std::array<uint8_t, kNfeInsertionDataSize> insertionData{};
    uint32_t insertionDataLength = 0;
    std::array<uint8_t, kNfeCaptureAreaSize> capturePatterns{};
    std::array<uint8_t, kNfeCaptureAreaSize> captureMasks{};

    std::vector<uint8_t> Encode() const;
    // Reads kNfeConfigSize bytes; the caller checks the length and the fields.
    static NfeConfig Decode(const uint8_t* bytes);

    bool HasCapturePatterns() const { return capturePatterns[0] != 0; }
    bool InsertionActive() const { return insertionDataLength != 0; }

    // Appends one capture pattern with its mask (same length, 1 to 255 bytes).
    // Refused when the entry would not leave its end index at 99 or below.
    bool AppendCapturePattern(const std::vector<uint8_t>& pattern, const std::vector<uint8_t>& mask);
};

}  // namespace hbt
