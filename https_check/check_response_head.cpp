#include "https_check/check_response_head.h"

#include <algorithm>
#include <cstdlib>

#include "https_check/http_head_end.h"

namespace hbt {
namespace {

constexpr std::size_t kStatusLineStart = 12;

bool IsRedirect(int status) { return status == 301 || status == 302 || status == 303 || status == 307; }

}  // namespace

ByteScan ScanCheckResponseHead(std::string_view bytes, std::size_t seen) {
    if (bytes.size() < kStatusLineStart) return ByteScan::NeedMore();
    if (!bytes.starts_with("HTTP/1.")) return ByteScan::Malformed("non-HTTP response");
    const std::size_t limit = kMaxCheckResponseHead + 1;
    const std::size_t end = FindHttpHeadEnd(bytes.substr(0, limit), std::max(seen, kStatusLineStart));
    if (end != std::string_view::npos) return ByteScan::Complete(end);
    if (bytes.size() >= limit) return ByteScan::Complete(limit);
    return ByteScan::NeedMore();
}

std::string DeadLoopIn(std::string_view head, const std::string& checkedHost, const std::string& requestedHost) {
    if (head.size() < kStatusLineStart) return "";
    const int status = std::atoi(std::string(head.substr(9, kStatusLineStart - 9)).c_str());
    if (!IsRedirect(status)) return "";
    const std::size_t name = head.find("Location: ");
    if (name == std::string_view::npos) return "";
    const std::size_t start = name + 10;
    const std::size_t end = head.find_first_of("\r\n", start);
    if (end == std::string_view::npos) return "";
    const std::string_view location = head.substr(start, end - start);
    if (location.find(checkedHost) == 7) return "Dead loop detected in HTTP response";
    if (checkedHost != requestedHost && location.find(requestedHost) == 7) {
        return "Dead loop with original host detected in HTTP response";
    }
    return "";
}

}  // namespace hbt
