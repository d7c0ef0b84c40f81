#pragma once
#include <cstddef>
#include <string_view>

namespace hbt {

// True when the head read so far ends with "\r\n\r\n", "\r\r" or "\n\n";
// looked at only when the last byte is a carriage return or line feed.
inline bool IsHttpHeadEnd(std::string_view head) {
    if (head.empty() || (head.back() != '\r' && head.back() != '\n')) return false;
    return head.ends_with("\r\n\r\n") || head.ends_with("\r\r") || head.ends_with("\n\n");
}

// One past the last byte of the first head end in `bytes` whose last byte
// lies at `from` or later (the bytes before were looked at already); npos
// when there is none.
inline std::size_t FindHttpHeadEnd(std::string_view bytes, std::size_t from) {
    for (std::size_t i = from; i < bytes.size(); ++i) {
        if (IsHttpHeadEnd(bytes.substr(0, i + 1))) return i + 1;
    }
    return std::string_view::npos;
}

}  // namespace hbt
