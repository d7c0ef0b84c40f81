#pragma once
// SockDiag: the kernel's socket diagnostics for TCP sockets of this network
// namespace, looked up by their exact 4-tuple: who owns a socket, and
// destroying a local socket so that its application sees the connection end.
#include <cstdint>
#include <mutex>
#include <optional>

#include "HbtEngineDrv/netfilter/tcp_four_tuple.h"

namespace hbt {

struct SocketOwner {
    uint64_t inode = 0;
    uint32_t uid = 0;
};

class SockDiag {
public:
    SockDiag();
    ~SockDiag();
    SockDiag(const SockDiag&) = delete;
    SockDiag& operator=(const SockDiag&) = delete;

    bool Ok() const { return fd_ >= 0; }
    std::optional<SocketOwner> Lookup(const TcpFourTuple& tuple);
    // Aborts the local socket (its application gets ECONNABORTED). Returns 0 or an errno value.
    int Destroy(const TcpFourTuple& tuple);

private:
    int Request(uint16_t type, const TcpFourTuple& tuple, SocketOwner* owner);

    int fd_ = -1;
    uint32_t sequence_ = 0;
    std::mutex mutex_;
};

}  // namespace hbt
