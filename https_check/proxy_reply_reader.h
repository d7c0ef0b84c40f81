#pragma once
// Reads the answer of the client's HTTP proxy to CONNECT, on the raw socket
// before any TLS.
#include <cstddef>
#include <string>
#include <string_view>

#include "text/byte_scan.h"

namespace hbt {

class CSslSocket;

struct ProxyReply {
    bool ok = false;
    int status = 0;
    std::string errorText;
};

struct ProxyReplyScan {
    ByteScan scan;
    int status = 0;  // once the status line's first 12 bytes are there
};

// The proxy's answer at the start of the bytes it sent so far: its status line
// must start with "H", hold "HTTP/1." within 12 bytes and carry a status; then
// the head runs to its end, at most 100000 bytes and one more. The first
// `seen` bytes were looked at before without an end.
ProxyReplyScan ScanProxyReply(std::string_view bytes, std::size_t seen = 0);

ProxyReply ReadProxyReply(CSslSocket& socket);

}  // namespace hbt
