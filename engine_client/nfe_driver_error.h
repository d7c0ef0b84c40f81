#pragma once
// The result of every request the program makes of the engine.
#include <cstdint>
#include <string>

namespace hbt {

enum class NfeErrorKind : uint32_t {
    kSuccess = 0,
    kOpenFailed = 1,            // "CreateFileW failed with error " + code
    kRequestFailed = 2,         // "DeviceIoControl failed with error " + code
    kWrongByteCount = 3,        // "Incorrect number of bytes returned"
    kWrongHeaderSize = 4,       // "Incorrect size returned …"
    kWrongDataSize = 5,         // "Incorrect data size returned …"
    kBadArguments = 6,          // "Incorrect input parameters"
    kEventCreateFailed = 7,     // "CreateEvent failed with error " + code
    kWaitFailed = 8,            // "GetOverlappedResult failed with error " + code
    kMaskMismatch = 15,         // "Mask size does not match" / "Mask does not match the pattern"
    kPatternTooBig = 16,        // "Pattern is too big"
    kPatternsTooBig = 17,       // "Patterns are too big"
    kNoEvent = 18,              // no event was returned; not an error for the caller
};

struct NfeDriverError {
    uint32_t code = 0;  // Win32 error code where one exists
    NfeErrorKind kind = NfeErrorKind::kSuccess;
    std::string message;

    bool Succeeded() const { return kind == NfeErrorKind::kSuccess; }

    static NfeDriverError Make(NfeErrorKind kind, std::string message, uint32_t code = 0) {
        return NfeDriverError{code, kind, std::move(message)};
    }
};

// The Win32 error code a program sees for an engine status (as the platform's
// status-to-error translation gives it).
uint32_t Win32ErrorFromStatus(uint32_t status);

}  // namespace hbt
