#pragma once
// The server's answer to the request of the HTTP response check: whether it is
// HTTP, whether a redirect sends the browser back to plain http:// on the
// same host, and what its head promises (Strict-Transport-Security).
#include <cstddef>
#include <string>
#include <string_view>

#include "text/byte_scan.h"

namespace hbt {

inline constexpr std::size_t kMaxCheckResponseHead = 100000;

// The answer at the start of the bytes the server sent so far. Its first 12
// bytes must start with "HTTP/1." (else malformed) and carry the status. The
// head, whatever the status, runs to its end, or is cut after
// kMaxCheckResponseHead bytes and one more. The first `seen` bytes were looked
// at before without an end.
ByteScan ScanCheckResponseHead(std::string_view bytes, std::size_t seen = 0);

// The loop message when the head is a redirect (301, 302, 303 or 307) whose
// Location sends the browser to http:// on the checked host (or on the host
// first asked for); empty when not.
std::string DeadLoopIn(std::string_view head, const std::string& checkedHost, const std::string& requestedHost);

}  // namespace hbt
