#pragma once
// Reads the answer of the client's HTTP proxy to CONNECT, on the raw socket
// before any TLS.
#include <string>

namespace hbt {

class CSslSocket;

struct ProxyReply {
    bool ok = false;
    int status = 0;
    std::string errorText;
};

ProxyReply ReadProxyReply(CSslSocket& socket);

}  // namespace hbt
