#pragma once
#include <string_view>

namespace hbt {

// True when the head read so far ends with "\r\n\r\n", "\r\r" or "\n\n";
// looked at only when the last byte is a carriage return or line feed.
inline bool IsHttpHeadEnd(std::string_view head) {
    if (head.empty() || (head.back() != '\r' && head.back() != '\n')) return false;
    return head.ends_with("\r\n\r\n") || head.ends_with("\r\r") || head.ends_with("\n\n");
}

}  // namespace hbt
