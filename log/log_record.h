#pragma once
// One finished log line on its way from any thread to the sinks.
#include <cstdint>
#include <string>
#include <vector>

namespace hbt {

// Levels: 0 always, 1 errors, 2 normal, 3 verbose.
inline constexpr int32_t kLogAlways = 0;
inline constexpr int32_t kLogError = 1;
inline constexpr int32_t kLogNormal = 2;
inline constexpr int32_t kLogVerbose = 3;

// A link inside a line. Offsets and lengths count wide characters: for
// `links` from the start of the message, for `appLink` from the start of the
// screen prefix.
struct LogLink {
    uint32_t offset = 0;
    uint32_t length = 0;
    std::string scheme;
    std::string target;
};

struct LogRecord {
    int64_t time = 0;  // seconds since 1970 (UTC), taken when the line was started
    int32_t level = 0;
    std::wstring message;
    bool toScreen = false;
    bool toFile = false;
    std::wstring filePrefix;
    std::wstring screenPrefix;
    std::vector<LogLink> links;
    LogLink appLink;  // no link when its target is empty
};

// A value streamed into a CLog to make a link: prefix, then the text (both the
// link target and the visible text), then suffix. Kind 1 writes nothing at all.
struct LogUrl {
    std::string scheme;
    std::string text;
    std::string prefix;
    std::string suffix;
    int32_t kind = 0;
};

}  // namespace hbt
