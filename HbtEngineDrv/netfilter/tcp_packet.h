#pragma once
// TcpPacket: the parts of a queued IPv4 or IPv6 TCP packet that the netfilter
// platform needs (addresses, ports, flags, sequence number, payload), and the
// rewrite of a packet's payload with its lengths and checksums recomputed.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace hbt {

struct TcpPacket {
    bool ipv6 = false;
    std::array<uint8_t, 16> source{};  // IPv4 uses the first 4 bytes
    std::array<uint8_t, 16> destination{};
    uint16_t sourcePort = 0;  // host byte order
    uint16_t destinationPort = 0;
    uint32_t sequence = 0;
    uint32_t acknowledgment = 0;
    uint8_t flags = 0;              // the TCP flag byte (FIN 0x01, SYN 0x02, RST 0x04, ACK 0x10)
    std::size_t payloadOffset = 0;  // from the start of the IP header
    std::size_t payloadLength = 0;

    bool Syn() const { return (flags & 0x02) != 0; }
    bool Fin() const { return (flags & 0x01) != 0; }
    bool Rst() const { return (flags & 0x04) != 0; }
    bool Ack() const { return (flags & 0x10) != 0; }

    // nullopt for anything but a well-formed TCP packet without IPv6 extension headers.
    static std::optional<TcpPacket> Parse(const uint8_t* packet, std::size_t length);
};

// The packet with its TCP payload replaced by `payload`; IP length fields and
// the IPv4 header and TCP checksums are recomputed.
std::vector<uint8_t> ReplaceTcpPayload(const uint8_t* packet, const TcpPacket& parsed,
                                       const uint8_t* payload, std::size_t payloadLength);

inline constexpr uint8_t kTcpRst = 0x04;
inline constexpr uint8_t kTcpPsh = 0x08;
inline constexpr uint8_t kTcpAck = 0x10;

// The packet's header as its peer would answer it: addresses and ports
// swapped, the sequence number the packet acknowledges, and an
// acknowledgment of all of the packet.
TcpPacket Reversed(const TcpPacket& packet);

// A segment with the addresses, ports and numbers of `h`, the given flags and
// payload, no options, and lengths and checksums filled in.
std::vector<uint8_t> BuildSegment(const TcpPacket& h, uint8_t flags, const uint8_t* payload = nullptr,
                                  std::size_t payloadLength = 0);

// The segment the packet's peer would send back: from the packet's destination
// to its source, acknowledging all of the packet, carrying `payload` (PSH|ACK,
// no options), with lengths and checksums filled in.
std::vector<uint8_t> AnswerSegment(const TcpPacket& packet, const uint8_t* payload, std::size_t payloadLength);

}  // namespace hbt
