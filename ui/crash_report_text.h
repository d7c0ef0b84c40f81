#pragma once
// What the crash reporter tells the user about the dump the crash handler wrote.
#include <string>

#include "platform/crash_handler.h"

namespace hbt {

inline constexpr wchar_t kCrashReporterTitle[] = L"Harbinet Crash Reporter";
// The message boxes of the program show at most this many characters.
inline constexpr std::size_t kCrashMessageLimit = 359;

// The whole message for the dump at `path` (UTF-8) and the handler's outcome.
std::wstring CrashReportMessage(const std::string& path, const CrashDumpStatus& status);

}  // namespace hbt
