#include "HbtEngineDrv/netfilter/raw_segments.h"

#include <gtest/gtest.h>

namespace hbt {
namespace {

const std::array<uint8_t, 16> kLocal = {192, 0, 2, 2};
const std::array<uint8_t, 16> kRemote = {192, 0, 2, 1};

// A held packet carrying `payload`, sent by `from` to `to`.
HeldPacket Held(const std::array<uint8_t, 16>& from, const std::array<uint8_t, 16>& to, uint32_t sequence,
                uint32_t acknowledgment, const std::vector<uint8_t>& payload) {
    TcpPacket h;
    h.source = from;
    h.destination = to;
    h.sourcePort = from == kLocal ? 50000 : 443;
    h.destinationPort = from == kLocal ? 443 : 50000;
    h.sequence = sequence;
    h.acknowledgment = acknowledgment;
    HeldPacket p;
    p.sequence = sequence;
    p.endSequence = sequence + static_cast<uint32_t>(payload.size());
    p.data = payload;
    p.packet = BuildSegment(h, kTcpPsh | kTcpAck, payload.data(), payload.size());
    return p;
}

TEST(RawSegments, RemoteResetGoesFromTheApplicationsEndAtTheNumbersTheRemoteExpects) {
    struct Case {
        const char* name;
        bool holdSend;
        bool holdReceive;
        uint32_t sequence;  // of the reset
        uint32_t acknowledgment;
    };
    // Sent: 1000..1005 held, acknowledging 7000; received: 7000..7003 held, acknowledging 1005.
    const Case cases[] = {
        {"send held", true, false, 1000, 7000},
        {"receive held", false, true, 1005, 7003},
        {"both held: the send side's place", true, true, 1000, 7000},
    };
    for (const Case& c : cases) {
        HeldStream send;
        HeldStream receive;
        if (c.holdSend) send.Hold(Held(kLocal, kRemote, 1000, 7000, {1, 2, 3, 4, 5}));
        if (c.holdReceive) receive.Hold(Held(kRemote, kLocal, 7000, 1005, {9, 9, 9}));
        const std::optional<RawSegment> reset = RemoteResetFor(send, receive);
        ASSERT_TRUE(reset) << c.name;
        EXPECT_EQ(reset->header.destination, kRemote) << c.name;
        const auto parsed = TcpPacket::Parse(reset->bytes.data(), reset->bytes.size());
        ASSERT_TRUE(parsed) << c.name;
        EXPECT_EQ(parsed->source, kLocal) << c.name;
        EXPECT_EQ(parsed->destination, kRemote) << c.name;
        EXPECT_EQ(parsed->sourcePort, 50000) << c.name;
        EXPECT_EQ(parsed->sequence, c.sequence) << c.name;
        EXPECT_EQ(parsed->acknowledgment, c.acknowledgment) << c.name;
        EXPECT_TRUE(parsed->Rst() && parsed->Ack()) << c.name;
        EXPECT_EQ(parsed->payloadLength, 0u) << c.name;
    }
    EXPECT_FALSE(RemoteResetFor(HeldStream{}, HeldStream{}));
}

TEST(RawSegments, AnswerReachesTheApplicationFromItsPeer) {
    const HeldPacket hello = Held(kLocal, kRemote, 1000, 7000, {1, 2, 3, 4, 5});
    const std::vector<uint8_t> alert = {0x15, 0x03, 0x01, 0x00, 0x02, 0x02, 0x28};
    const std::optional<RawSegment> answer = AnswerTo(hello, alert);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->header.destination, kLocal);
    const auto parsed = TcpPacket::Parse(answer->bytes.data(), answer->bytes.size());
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->source, kRemote);
    EXPECT_EQ(parsed->sequence, 7000u);
    EXPECT_EQ(parsed->acknowledgment, 1005u);
    EXPECT_EQ(std::vector<uint8_t>(answer->bytes.begin() + static_cast<long>(parsed->payloadOffset),
                                   answer->bytes.end()),
              alert);

    HeldPacket broken = hello;
    broken.packet.resize(10);
    EXPECT_FALSE(AnswerTo(broken, alert));
}

}  // namespace
}  // namespace hbt
