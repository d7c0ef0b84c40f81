#pragma once
// TcpFourTuple: a TCP connection as this machine sees it (its own end and the
// remote end), the key of the platform's tables.
#include <array>
#include <cstddef>
#include <cstdint>

#include "HbtEngineDrv/netfilter/tcp_packet.h"

namespace hbt {

struct TcpFourTuple {
    bool ipv6 = false;
    std::array<uint8_t, 16> local{};  // IPv4 uses the first 4 bytes
    std::array<uint8_t, 16> remote{};
    uint16_t localPort = 0;  // host byte order
    uint16_t remotePort = 0;
};

struct TupleHash {
    std::size_t operator()(const TcpFourTuple& t) const;
};
bool operator==(const TcpFourTuple& a, const TcpFourTuple& b);

// The connection a packet belongs to; `outgoing` when this machine sent it.
TcpFourTuple TupleOf(const TcpPacket& p, bool outgoing);

}  // namespace hbt
