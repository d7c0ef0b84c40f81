#include "HbtEngineDrv/netfilter/raw_segments.h"

#include <errno.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "HbtEngineDrv/netfilter/packet_marks.h"

namespace hbt {

std::optional<RawSegment> RemoteResetFor(const HeldStream& send, const HeldStream& receive) {
    for (const HeldStream* s : {&send, &receive}) {
        if (s->Empty()) continue;
        const auto parsed = TcpPacket::Parse(s->Front().packet.data(), s->Front().packet.size());
        if (!parsed) continue;
        const TcpPacket header = s == &send ? *parsed : Reversed(*parsed);
        return RawSegment{header, BuildSegment(header, kTcpRst | kTcpAck)};
    }
    return std::nullopt;
}

std::optional<RawSegment> AnswerTo(const HeldPacket& outgoing, const std::vector<uint8_t>& payload) {
    const auto parsed = TcpPacket::Parse(outgoing.packet.data(), outgoing.packet.size());
    if (!parsed) return std::nullopt;
    return RawSegment{Reversed(*parsed), AnswerSegment(*parsed, payload.data(), payload.size())};
}

int SendRawSegment(const RawSegment& segment) {
    const TcpPacket& h = segment.header;
    const int fd = socket(h.ipv6 ? AF_INET6 : AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_RAW);
    if (fd < 0) return errno;
    const uint32_t mark = kMarkOwnSocket;
    sockaddr_storage address{};
    socklen_t length = 0;
    if (h.ipv6) {
        auto* in6 = reinterpret_cast<sockaddr_in6*>(&address);
        in6->sin6_family = AF_INET6;
        std::memcpy(&in6->sin6_addr, h.destination.data(), 16);
        length = sizeof *in6;
    } else {
        auto* in = reinterpret_cast<sockaddr_in*>(&address);
        in->sin_family = AF_INET;
        std::memcpy(&in->sin_addr, h.destination.data(), 4);
        length = sizeof *in;
    }
    int rc = 0;
    if (setsockopt(fd, SOL_SOCKET, SO_MARK, &mark, sizeof mark) != 0 ||
        sendto(fd, segment.bytes.data(), segment.bytes.size(), 0, reinterpret_cast<sockaddr*>(&address), length) < 0) {
        rc = errno;
    }
    close(fd);
    return rc;
}

}  // namespace hbt
