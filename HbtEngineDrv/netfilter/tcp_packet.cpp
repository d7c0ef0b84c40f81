#include "HbtEngineDrv/netfilter/tcp_packet.h"

#include <cstring>

namespace hbt {
namespace {

constexpr uint8_t kProtocolTcp = 6;
constexpr std::size_t kIpv4MinHeader = 20;
constexpr std::size_t kIpv6Header = 40;
constexpr std::size_t kTcpMinHeader = 20;

uint16_t Read16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }
uint32_t Read32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}
void Write16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}
void Write32(uint8_t* p, uint32_t v) {
    Write16(p, static_cast<uint16_t>(v >> 16));
    Write16(p + 2, static_cast<uint16_t>(v));
}

uint32_t SumWords(const uint8_t* data, std::size_t length, uint32_t sum) {
    for (std::size_t i = 0; i + 1 < length; i += 2) sum += Read16(data + i);
    if (length % 2 != 0) sum += static_cast<uint32_t>(data[length - 1]) << 8;
    return sum;
}

uint16_t Fold(uint32_t sum) {
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint16_t>(~sum);
}

}  // namespace

std::optional<TcpPacket> TcpPacket::Parse(const uint8_t* packet, std::size_t length) {
    if (length < 1) return std::nullopt;
    TcpPacket p;
    std::size_t ipHeader = 0;
    std::size_t total = 0;
    const uint8_t version = packet[0] >> 4;
    if (version == 4) {
        if (length < kIpv4MinHeader) return std::nullopt;
        ipHeader = static_cast<std::size_t>(packet[0] & 0x0F) * 4;
        total = Read16(packet + 2);
        if (ipHeader < kIpv4MinHeader || packet[9] != kProtocolTcp) return std::nullopt;
        if ((Read16(packet + 6) & 0x3FFF) != 0) return std::nullopt;  // a fragment
        std::memcpy(p.source.data(), packet + 12, 4);
        std::memcpy(p.destination.data(), packet + 16, 4);
    } else if (version == 6) {
        if (length < kIpv6Header || packet[6] != kProtocolTcp) return std::nullopt;
        p.ipv6 = true;
        ipHeader = kIpv6Header;
        total = kIpv6Header + Read16(packet + 4);
        std::memcpy(p.source.data(), packet + 8, 16);
        std::memcpy(p.destination.data(), packet + 24, 16);
    } else {
        return std::nullopt;
    }
    if (total > length || total < ipHeader + kTcpMinHeader) return std::nullopt;
    const uint8_t* tcp = packet + ipHeader;
    const std::size_t tcpHeader = static_cast<std::size_t>(tcp[12] >> 4) * 4;
    if (tcpHeader < kTcpMinHeader || ipHeader + tcpHeader > total) return std::nullopt;
    p.sourcePort = Read16(tcp);
    p.destinationPort = Read16(tcp + 2);
    p.sequence = Read32(tcp + 4);
    p.acknowledgment = Read32(tcp + 8);
    p.flags = tcp[13];
    p.payloadOffset = ipHeader + tcpHeader;
    p.payloadLength = total - p.payloadOffset;
    return p;
}

std::vector<uint8_t> ReplaceTcpPayload(const uint8_t* packet, const TcpPacket& parsed,
                                       const uint8_t* payload, std::size_t payloadLength) {
    std::vector<uint8_t> out(packet, packet + parsed.payloadOffset);
    out.insert(out.end(), payload, payload + payloadLength);
    const std::size_t ipHeader = parsed.ipv6 ? kIpv6Header : static_cast<std::size_t>(out[0] & 0x0F) * 4;
    const std::size_t tcpLength = out.size() - ipHeader;
    uint8_t* tcp = out.data() + ipHeader;

    uint32_t pseudo = 0;
    if (parsed.ipv6) {
        Write16(out.data() + 4, static_cast<uint16_t>(tcpLength));
        pseudo = SumWords(out.data() + 8, 32, 0);
    } else {
        Write16(out.data() + 2, static_cast<uint16_t>(out.size()));
        Write16(out.data() + 10, 0);
        Write16(out.data() + 10, Fold(SumWords(out.data(), ipHeader, 0)));
        pseudo = SumWords(out.data() + 12, 8, 0);
    }
    pseudo += kProtocolTcp;
    pseudo += static_cast<uint32_t>(tcpLength);
    Write16(tcp + 16, 0);
    Write16(tcp + 16, Fold(SumWords(tcp, tcpLength, pseudo)));
    return out;
}

TcpPacket Reversed(const TcpPacket& packet) {
    TcpPacket r = packet;
    r.source = packet.destination;
    r.destination = packet.source;
    r.sourcePort = packet.destinationPort;
    r.destinationPort = packet.sourcePort;
    r.sequence = packet.acknowledgment;
    r.acknowledgment =
        packet.sequence + static_cast<uint32_t>(packet.payloadLength) + (packet.Syn() ? 1 : 0) + (packet.Fin() ? 1 : 0);
    return r;
}

std::vector<uint8_t> BuildSegment(const TcpPacket& h, uint8_t flags, const uint8_t* payload, std::size_t payloadLength) {
    const std::size_t ipHeader = h.ipv6 ? kIpv6Header : kIpv4MinHeader;
    std::vector<uint8_t> header(ipHeader + kTcpMinHeader, 0);
    if (h.ipv6) {
        header[0] = 0x60;
        header[6] = kProtocolTcp;
        header[7] = 64;  // hop limit
        std::memcpy(header.data() + 8, h.source.data(), 16);
        std::memcpy(header.data() + 24, h.destination.data(), 16);
    } else {
        header[0] = 0x45;
        Write16(header.data() + 6, 0x4000);  // don't fragment
        header[8] = 64;                      // time to live
        header[9] = kProtocolTcp;
        std::memcpy(header.data() + 12, h.source.data(), 4);
        std::memcpy(header.data() + 16, h.destination.data(), 4);
    }
    uint8_t* tcp = header.data() + ipHeader;
    Write16(tcp, h.sourcePort);
    Write16(tcp + 2, h.destinationPort);
    Write32(tcp + 4, h.sequence);
    Write32(tcp + 8, h.acknowledgment);
    tcp[12] = 5 << 4;
    tcp[13] = flags;
    Write16(tcp + 14, 0xFFFF);
    TcpPacket built;
    built.ipv6 = h.ipv6;
    built.payloadOffset = header.size();
    return ReplaceTcpPayload(header.data(), built, payload, payloadLength);
}

std::vector<uint8_t> AnswerSegment(const TcpPacket& packet, const uint8_t* payload, std::size_t payloadLength) {
    return BuildSegment(Reversed(packet), kTcpPsh | kTcpAck, payload, payloadLength);
}

}  // namespace hbt
