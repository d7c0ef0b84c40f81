#include "HbtEngineDrv/netfilter/tcp_packet.h"

#include <gtest/gtest.h>

#include <numeric>
#include <vector>

namespace hbt {
namespace {

// A checksum over data that already carries its checksum folds to zero.
uint16_t Fold(uint32_t sum) {
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint16_t>(sum);
}
uint32_t Sum(const uint8_t* d, std::size_t n) {
    uint32_t s = 0;
    for (std::size_t i = 0; i + 1 < n; i += 2) s += static_cast<uint32_t>(d[i] << 8 | d[i + 1]);
    if (n % 2) s += static_cast<uint32_t>(d[n - 1]) << 8;
    return s;
}

std::vector<uint8_t> Ipv4Packet(const std::vector<uint8_t>& payload, uint8_t flags) {
    std::vector<uint8_t> p = {0x45, 0, 0, 0, 0x12, 0x34, 0x40, 0, 64, 6, 0, 0, 192, 0, 2, 2, 192, 0, 2, 1,
                              0xC3, 0x50, 0x01, 0xBB, 0x11, 0x22, 0x33, 0x44, 0, 0, 0, 0, 0x50, flags, 0xFF, 0xFF,
                              0, 0, 0, 0};
    p.insert(p.end(), payload.begin(), payload.end());
    p[2] = static_cast<uint8_t>(p.size() >> 8);
    p[3] = static_cast<uint8_t>(p.size());
    return p;
}

std::vector<uint8_t> Ipv6Packet(const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> p(40, 0);
    p[0] = 0x60;
    p[6] = 6;
    p[7] = 64;
    p[8] = 0x20, p[9] = 0x01, p[10] = 0x0d, p[11] = 0xb8, p[23] = 2;
    p[24] = 0x20, p[25] = 0x01, p[26] = 0x0d, p[27] = 0xb8, p[39] = 1;
    const std::vector<uint8_t> tcp = {0xC3, 0x50, 0x00, 0x50, 0xFF, 0xFF, 0xFF, 0xF0, 0, 0, 0, 0,
                                      0x60, 0x18, 0xFF, 0xFF, 0, 0, 0, 0, 2, 4, 5, 0xB4};
    p.insert(p.end(), tcp.begin(), tcp.end());
    p.insert(p.end(), payload.begin(), payload.end());
    p[5] = static_cast<uint8_t>(p.size() - 40);
    return p;
}

TEST(TcpPacket, ParsesIpv4AndIpv6Headers) {
    const auto v4 = TcpPacket::Parse(Ipv4Packet({1, 2, 3}, 0x18).data(), 43);
    ASSERT_TRUE(v4);
    EXPECT_FALSE(v4->ipv6);
    EXPECT_EQ(v4->source[3], 2);
    EXPECT_EQ(v4->destination[3], 1);
    EXPECT_EQ(v4->sourcePort, 50000);
    EXPECT_EQ(v4->destinationPort, 443);
    EXPECT_EQ(v4->sequence, 0x11223344u);
    EXPECT_EQ(v4->payloadOffset, 40u);
    EXPECT_EQ(v4->payloadLength, 3u);
    EXPECT_TRUE(v4->Ack());
    EXPECT_FALSE(v4->Syn());

    const std::vector<uint8_t> packet6 = Ipv6Packet({9, 9});
    const auto v6 = TcpPacket::Parse(packet6.data(), packet6.size());
    ASSERT_TRUE(v6);
    EXPECT_TRUE(v6->ipv6);
    EXPECT_EQ(v6->source[15], 2);
    EXPECT_EQ(v6->destinationPort, 80);
    EXPECT_EQ(v6->payloadOffset, 64u);  // TCP options counted
    EXPECT_EQ(v6->payloadLength, 2u);
}

TEST(TcpPacket, RefusesWhatIsNotAWholeTcpPacket) {
    std::vector<uint8_t> udp = Ipv4Packet({}, 0x02);
    udp[9] = 17;
    std::vector<uint8_t> fragment = Ipv4Packet({1}, 0x18);
    fragment[6] = 0x20;  // more fragments
    std::vector<uint8_t> truncated = Ipv4Packet({1, 2, 3, 4}, 0x18);
    std::vector<uint8_t> badOffset = Ipv4Packet({}, 0x18);
    badOffset[32] = 0xF0;  // TCP header longer than the packet
    const std::vector<uint8_t> empty;
    for (const auto& [name, bytes, length] : {std::tuple{"udp", udp, udp.size()},
                                              std::tuple{"fragment", fragment, fragment.size()},
                                              std::tuple{"truncated", truncated, truncated.size() - 2},
                                              std::tuple{"bad offset", badOffset, badOffset.size()},
                                              std::tuple{"empty", empty, std::size_t{0}}}) {
        EXPECT_FALSE(TcpPacket::Parse(bytes.data(), length)) << name;
    }
}

TEST(TcpPacket, ReplacedPayloadCarriesValidLengthsAndChecksums) {
    for (bool ipv6 : {false, true}) {
        const std::vector<uint8_t> original = ipv6 ? Ipv6Packet({1, 2, 3, 4, 5, 6}) : Ipv4Packet({1, 2, 3, 4, 5, 6}, 0x18);
        const auto parsed = TcpPacket::Parse(original.data(), original.size());
        ASSERT_TRUE(parsed);
        const std::vector<uint8_t> alert = {0x15, 0x03, 0x03, 0x00, 0x02, 0x02, 0x46};
        const std::vector<uint8_t> out = ReplaceTcpPayload(original.data(), *parsed, alert.data(), alert.size());
        const auto again = TcpPacket::Parse(out.data(), out.size());
        ASSERT_TRUE(again) << ipv6;
        EXPECT_EQ(again->payloadLength, alert.size());
        EXPECT_EQ(std::vector<uint8_t>(out.begin() + static_cast<long>(again->payloadOffset), out.end()), alert);

        const std::size_t ip = ipv6 ? 40 : 20;
        if (!ipv6) {
            EXPECT_EQ(Fold(Sum(out.data(), ip)), 0xFFFF);
        }
        uint32_t pseudo = ipv6 ? Sum(out.data() + 8, 32) : Sum(out.data() + 12, 8);
        pseudo += 6 + static_cast<uint32_t>(out.size() - ip);
        EXPECT_EQ(Fold(Sum(out.data() + ip, out.size() - ip) + pseudo), 0xFFFF) << ipv6;
    }
}

TEST(TcpPacket, AnswerComesFromThePeerAndResetTakesThePacketsPlace) {
    for (bool ipv6 : {false, true}) {
        std::vector<uint8_t> hello = ipv6 ? Ipv6Packet({1, 2, 3, 4, 5}) : Ipv4Packet({1, 2, 3, 4, 5}, 0x18);
        const std::size_t ip = ipv6 ? 40 : 20;
        for (int i = 0; i < 4; ++i) hello[ip + 8 + static_cast<std::size_t>(i)] = static_cast<uint8_t>(0xA0 + i);
        const auto parsed = TcpPacket::Parse(hello.data(), hello.size());
        ASSERT_TRUE(parsed);
        EXPECT_EQ(parsed->acknowledgment, 0xA0A1A2A3u);
        const std::vector<uint8_t> alert = {0x15, 0x03, 0x01, 0x00, 0x02, 0x02, 0x28};
        const std::vector<uint8_t> out = AnswerSegment(*parsed, alert.data(), alert.size());
        const auto answer = TcpPacket::Parse(out.data(), out.size());
        ASSERT_TRUE(answer) << ipv6;
        EXPECT_EQ(answer->ipv6, ipv6);
        EXPECT_EQ(answer->source, parsed->destination);
        EXPECT_EQ(answer->destination, parsed->source);
        EXPECT_EQ(answer->sourcePort, parsed->destinationPort);
        EXPECT_EQ(answer->destinationPort, parsed->sourcePort);
        EXPECT_EQ(answer->sequence, parsed->acknowledgment);
        EXPECT_EQ(answer->acknowledgment, parsed->sequence + 5);
        EXPECT_EQ(answer->flags, 0x18);  // PSH, ACK
        EXPECT_EQ(std::vector<uint8_t>(out.begin() + static_cast<long>(answer->payloadOffset), out.end()), alert);
        if (!ipv6) {
            EXPECT_EQ(Fold(Sum(out.data(), ip)), 0xFFFF);
        }
        uint32_t pseudo = ipv6 ? Sum(out.data() + 8, 32) : Sum(out.data() + 12, 8);
        pseudo += 6 + static_cast<uint32_t>(out.size() - ip);
        EXPECT_EQ(Fold(Sum(out.data() + ip, out.size() - ip) + pseudo), 0xFFFF) << ipv6;

        const std::vector<uint8_t> resetBytes = BuildSegment(*parsed, kTcpRst | kTcpAck);
        const auto reset = TcpPacket::Parse(resetBytes.data(), resetBytes.size());
        ASSERT_TRUE(reset) << ipv6;
        EXPECT_EQ(reset->source, parsed->source);
        EXPECT_EQ(reset->destinationPort, parsed->destinationPort);
        EXPECT_EQ(reset->sequence, parsed->sequence);
        EXPECT_TRUE(reset->Rst());
        EXPECT_EQ(reset->payloadLength, 0u);
    }
}

}  // namespace
}  // namespace hbt
