#include "HbtEngineDrv/netfilter/tcp_four_tuple.h"

namespace hbt {

std::size_t TupleHash::operator()(const TcpFourTuple& t) const {
    std::size_t h = t.ipv6 ? 1469598103934665603ull : 7809847782465536322ull;
    auto mix = [&h](uint64_t v) { h = (h ^ v) * 1099511628211ull; };
    for (int i = 0; i < 16; ++i) mix(static_cast<uint64_t>(t.local[i]) << 8 | t.remote[i]);
    mix(static_cast<uint64_t>(t.localPort) << 16 | t.remotePort);
    return h;
}

bool operator==(const TcpFourTuple& a, const TcpFourTuple& b) {
    return a.ipv6 == b.ipv6 && a.local == b.local && a.remote == b.remote && a.localPort == b.localPort &&
           a.remotePort == b.remotePort;
}

TcpFourTuple TupleOf(const TcpPacket& p, bool outgoing) {
    TcpFourTuple t;
    t.ipv6 = p.ipv6;
    t.local = outgoing ? p.source : p.destination;
    t.remote = outgoing ? p.destination : p.source;
    t.localPort = outgoing ? p.sourcePort : p.destinationPort;
    t.remotePort = outgoing ? p.destinationPort : p.sourcePort;
    return t;
}

}  // namespace hbt
