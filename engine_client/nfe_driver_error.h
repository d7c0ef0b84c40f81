#pragma once
// The result of every request the program makes of the engine.
#include <cstdint>
#include <string>

namespace hbt {

enum class NfeErrorKind : uint32_t {
    Success = 0,
    OpenFailed = 1,            // "CreateFileW failed with error " + code
    RequestFailed = 2,         // "DeviceIoControl failed with error " + code
    WrongByteCount = 3,        // "Incorrect number of bytes returned"
    WrongHeaderSize = 4,       // "Incorrect size returned …"
    WrongDataSize = 5,         // "Incorrect data size returned …"
    BadArguments = 6,          // "Incorrect input parameters"
    EventCreateFailed = 7,     // "CreateEvent failed with error " + code
    WaitFailed = 8,            // "GetOverlappedResult failed with error " + code
    MaskMismatch = 15,         // "Mask size does not match" / "Mask does not match the pattern"
    PatternTooBig = 16,        // "Pattern is too big"
    PatternsTooBig = 17,       // "Patterns are too big"
    NoEvent = 18,              // no event was returned; not an error for the caller
};

struct NfeDriverError {
    uint32_t code = 0;  // Win32 error code where one exists
    NfeErrorKind kind = NfeErrorKind::Success;
    std::string message;

    bool Succeeded() const { return kind == NfeErrorKind::Success; }

    static NfeDriverError Make(NfeErrorKind kind, std::string message, uint32_t code = 0) {
        return NfeDriverError{code, kind, std::move(message)};
    }
};

// The Win32 error code a program sees for an engine status (as the platform's
// status-to-error translation gives it).
uint32_t Win32ErrorFromStatus(uint32_t status);

}  // namespace hbt
