#include <gtest/gtest.h>

#include "engine_protocol/byte_order.h"
#include "engine_protocol/nfe_config.h"
#include "engine_protocol/nfe_counters.h"
#include "engine_protocol/nfe_event.h"
#include "engine_protocol/nfe_flow_operation.h"
#include "engine_protocol/nfe_port_rules.h"
#include "engine_protocol/nfe_protocol.h"

namespace hbt {
namespace {

TEST(NfeProtocolTest, ControlCodesAreNetworkDeviceBufferedFunctions) {
    EXPECT_EQ(NFE_IOCTL_START, 0x120004u);
    EXPECT_EQ(NFE_IOCTL_STOP, 0x120008u);
    EXPECT_EQ(NFE_IOCTL_GET_VERSION, 0x12000Cu);
    EXPECT_EQ(NFE_IOCTL_SET_CONFIG, 0x120010u);
    EXPECT_EQ(NFE_IOCTL_GET_EVENT, 0x120014u);
    EXPECT_EQ(NFE_IOCTL_PROCESS_REDIRECT, 0x12001Cu);
    EXPECT_EQ(NFE_IOCTL_GET_COUNTERS, 0x120020u);
    EXPECT_EQ(NFE_IOCTL_FLOW_OPERATION, 0x120024u);
    EXPECT_EQ(NFE_IOCTL_SET_PORT_RULES, 0x120028u);
}

NfeEvent SampleEvent() {
    NfeEvent e;
    e.type = NFE_EVENT_CONNECT_REDIRECT;
    e.processId = 0x01020304;
    e.userSid[0] = 1;
    e.userSid[127] = 0xEE;
    e.flowId = 0x1122334455667788ull;
    e.inbound = 1;
    e.redirectRequestId = 0xA1A2A3A4A5A6A7A8ull;
    e.endpointHandle = 0xB1B2B3B4B5B6B7B8ull;
    e.streamFlags = 0x00010000;
    e.answerFlags = 5;
    e.queueTime = 0xC1C2C3C4C5C6C7C8ull;
    e.messageStatus = 0xC0000001;
    e.messageParameter = 42;
    e.messageSeverity = 1;
    e.source = SocketAddressSlot::Ipv4({10, 0, 0, 2}, 40000);
    e.destination = SocketAddressSlot::Ipv6({0x20, 0x01, 0x0d, 0xb8}, 443, 0, 7);
    e.data = {'/', 0, 'x', 0, 0, 0, 0xFF};
    e.applicationPathLength = 6;
    return e;
}

TEST(NfeEventTest, FieldsLandAtTheirOffsetsLittleEndian) {
    std::vector<uint8_t> b = SampleEvent().Encode();
    ASSERT_EQ(b.size(), 304u + 7u);
    EXPECT_EQ(GetU32(&b[0]), 304u);
    EXPECT_EQ(GetU32(&b[4]), 0u);
    EXPECT_EQ(GetU32(&b[24]), 7u);
    EXPECT_EQ(GetU32(&b[28]), 6u);
    EXPECT_EQ(GetU32(&b[32]), 2u);
    EXPECT_EQ(b[36], 0x04);  // little-endian process id
    EXPECT_EQ(b[40], 1);
    EXPECT_EQ(b[167], 0xEE);
    EXPECT_EQ(b[168], 0x88);
    EXPECT_EQ(b[176], 1);
    EXPECT_EQ(GetU64(&b[184]), 0xA1A2A3A4A5A6A7A8ull);
    EXPECT_EQ(GetU64(&b[192]), 0xB1B2B3B4B5B6B7B8ull);
    EXPECT_EQ(GetU32(&b[200]), 0x00010000u);
    EXPECT_EQ(GetU32(&b[204]), 5u);
    EXPECT_EQ(GetU64(&b[208]), 0xC1C2C3C4C5C6C7C8ull);
    EXPECT_EQ(GetU64(&b[216]), 0xC0000001ull);
    EXPECT_EQ(GetU64(&b[224]), 42u);
    EXPECT_EQ(GetU32(&b[232]), 1u);
    // Source: family 2 little-endian, port 40000 in network order, address.
    EXPECT_EQ(b[248], 2);
    EXPECT_EQ(b[249], 0);
    EXPECT_EQ(b[250], 0x9C);
    EXPECT_EQ(b[251], 0x40);
    EXPECT_EQ(b[252], 10);
    EXPECT_EQ(b[276], 23);
    EXPECT_EQ(b[276 + 8], 0x20);
    EXPECT_EQ(b[303], 0);  // scope id 7 is stored as the host writes it
    EXPECT_EQ(b[304 + 6], 0xFF);
}

TEST(NfeEventTest, ApplicationPathTravelsAsTerminatedUtf16) {
    NfeEvent event;
    event.SetApplicationPath(u"/usr/bin/\u00e9");
    EXPECT_EQ(event.applicationPathLength, 22u);  // 10 UTF-16 units and the terminating zero
    EXPECT_EQ(event.data[18], 0xE9);
    EXPECT_EQ(event.data[20], 0);
    EXPECT_EQ(event.ApplicationPath(), u"/usr/bin/\u00e9");

    NfeEvent unnamed;
    unnamed.SetApplicationPath(u"");
    EXPECT_EQ(unnamed.applicationPathLength, 0u);
    EXPECT_TRUE(unnamed.data.empty());
}

TEST(NfeEventTest, DecodeRoundTripsAndRejectsBadFraming) {
    NfeEvent e = SampleEvent();
    std::vector<uint8_t> b = e.Encode();
    auto back = NfeEvent::Decode(b.data(), b.size());
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(back->Encode(), b);
    EXPECT_EQ(back->ApplicationPath(), u"/x");

    EXPECT_FALSE(NfeEvent::Decode(b.data(), b.size() - 1));  // size != 304 + data length
    EXPECT_FALSE(NfeEvent::Decode(b.data(), 303));
    std::vector<uint8_t> badHeader = b;
    PutU32(&badHeader[0], 300);
    EXPECT_FALSE(NfeEvent::Decode(badHeader.data(), badHeader.size()));
    std::vector<uint8_t> badPath = b;
    PutU32(&badPath[28], 8);  // path longer than the data
    EXPECT_FALSE(NfeEvent::Decode(badPath.data(), badPath.size()));
}

TEST(NfeEventTest, MessageTextStopsAtTheTerminatingZero) {
    NfeEvent e;
    std::string text = "107:Abandoned redirection request detected";
    e.data.assign(text.begin(), text.end());
    e.data.push_back(0);
    EXPECT_EQ(e.MessageText(), text);
}

TEST(NfeEventTest, AnswerIsAZeroedHeaderWithIdFlagsAndDestination) {
    auto dest = SocketAddressSlot::Ipv4({127, 0, 0, 1}, 8080);
    std::vector<uint8_t> a = NfeEvent::EncodeAnswer(0x55, NFE_ANSWER_REDIRECT, dest);
    ASSERT_EQ(a.size(), 304u);
    EXPECT_EQ(GetU32(&a[0]), 304u);
    EXPECT_EQ(GetU64(&a[184]), 0x55u);
    EXPECT_EQ(GetU32(&a[204]), 2u);
    EXPECT_EQ(SocketAddressSlot::FromBytes(&a[276]), dest);
    for (std::size_t i = 4; i < 184; ++i) ASSERT_EQ(a[i], 0) << i;
}

TEST(NfeConfigTest, FieldsLandAtTheirOffsets) {
    NfeConfig c;
    c.processId = 777;
    c.interceptOwnProcess = 1;
    c.maxEventAgeSeconds = 5;
    c.insertionPrefix[0] = 'G';
    c.insertionTerminator = ' ';
    c.insertionHostPatterns[0] = 'a';
    c.insertionData[999] = 0x7F;
    c.insertionDataLength = 1000;
    ASSERT_TRUE(c.AppendCapturePattern({0x16, 0x03}, {0xFF, 0xFF}));
    std::vector<uint8_t> b = c.Encode();
    ASSERT_EQ(b.size(), 51244u);
    EXPECT_EQ(GetU32(&b[0]), 51244u);
    EXPECT_EQ(GetU32(&b[4]), 777u);
    EXPECT_EQ(b[9], 1);
    EXPECT_EQ(GetU32(&b[12]), 5u);
    EXPECT_EQ(b[16], 'G');
    EXPECT_EQ(b[36], ' ');
    EXPECT_EQ(b[37], 'a');
    EXPECT_EQ(b[50037 + 999], 0x7F);
    EXPECT_EQ(GetU32(&b[51040]), 1000u);
    EXPECT_EQ(b[51044], 2);
    EXPECT_EQ(b[51045], 0x16);
    EXPECT_EQ(b[51144], 2);
    EXPECT_EQ(b[51146], 0xFF);
    EXPECT_EQ(NfeConfig::Decode(b.data()).Encode(), b);
}

TEST(NfeConfigTest, CapturePatternsMustEndAtIndex99OrBelow) {
    NfeConfig c;
    std::vector<uint8_t> p(97, 0x41);
    EXPECT_TRUE(c.AppendCapturePattern(p, p));  // length byte 0, last byte 97, next index 98
    EXPECT_FALSE(c.AppendCapturePattern({1}, {1}));
    NfeConfig d;
    std::vector<uint8_t> tooLong(99, 0x41);
    EXPECT_FALSE(d.AppendCapturePattern(tooLong, tooLong));
    EXPECT_FALSE(d.AppendCapturePattern({1, 2}, {1}));
    EXPECT_FALSE(d.HasCapturePatterns());
}

TEST(NfeFlowOperationTest, EncodesAndChecksLengths) {
    NfeFlowOperation op;
    op.streamFlags = 0x00010000;
    op.flowId = 0x0102030405060708ull;
    op.operation = NFE_FLOW_INJECT;
    op.data = {1, 2, 3, 4};
    std::vector<uint8_t> b = op.Encode();
    ASSERT_EQ(b.size(), 36u);
    EXPECT_EQ(GetU32(&b[0]), 32u);
    EXPECT_EQ(GetU32(&b[4]), 4u);
    EXPECT_EQ(GetU32(&b[8]), 0x00010000u);
    EXPECT_EQ(GetU64(&b[16]), 0x0102030405060708ull);
    EXPECT_EQ(GetU32(&b[24]), 2u);
    auto back = NfeFlowOperation::Decode(b.data(), b.size());
    ASSERT_TRUE(back);
    EXPECT_EQ(back->data, op.data);
    b.resize(40);  // data length field still reads 4
    EXPECT_FALSE(NfeFlowOperation::Decode(b.data(), b.size()));
}

TEST(NfeCountersTest, RoundTrip) {
    NfeCounters c{3, 9};
    std::vector<uint8_t> b = c.Encode();
    ASSERT_EQ(b.size(), 12u);
    EXPECT_EQ(GetU32(&b[0]), 12u);
    auto back = NfeCounters::Decode(b.data(), b.size());
    ASSERT_TRUE(back);
    EXPECT_EQ(back->flowContexts, 3u);
    EXPECT_EQ(back->redirectRequests, 9u);
}

TEST(NfePortRulesTest, RoundTripsEveryKind) {
    std::vector<uint8_t> two = NfePortRules::Of({{80, 80}, {8000, 8100}}).Encode();
    const std::vector<uint8_t> wire = {12, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 80, 0, 80, 0, 0x40, 0x1F, 0xA4, 0x1F};
    EXPECT_EQ(two, wire);
    EXPECT_EQ(NfePortRules::All().Encode(), (std::vector<uint8_t>{12, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0}));
    std::vector<NfePortRange> most;
    for (uint16_t p = 1; p <= 2 * kNfeMaxPortRanges; p += 2) most.push_back({p, p});
    for (const NfePortRules& rules : {NfePortRules::All(), NfePortRules::Of({}), NfePortRules::Of({{443, 443}}),
                                      NfePortRules::Of(most)}) {
        const std::vector<uint8_t> bytes = rules.Encode();
        NfePortRules back = NfePortRules::Of({{1, 1}});
        ASSERT_EQ(NfePortRules::Decode(bytes.data(), bytes.size(), back), kStatusSuccess);
        EXPECT_EQ(back, rules);
    }
}

TEST(NfePortRulesTest, MalformedRecordsAreRefused) {
    auto with = [](std::vector<uint8_t> bytes, std::size_t at, uint16_t value) {
        PutU16(&bytes[at], value);
        return bytes;
    };
    const std::vector<uint8_t> one = NfePortRules::Of({{80, 90}}).Encode();
    std::vector<uint8_t> tooMany = NfePortRules::Of({}).Encode();
    PutU32(&tooMany[8], kNfeMaxPortRanges + 1);
    for (uint32_t i = 0; i <= kNfeMaxPortRanges; ++i) tooMany.insert(tooMany.end(), {80, 0, 80, 0});
    std::vector<uint8_t> allWithRange = one;
    PutU32(&allWithRange[4], NFE_PORT_RULES_ALL_PORTS);
    std::vector<uint8_t> unknownFlag = one;
    PutU32(&unknownFlag[4], 2);
    std::vector<uint8_t> longer = one;
    longer.push_back(0);
    const struct {
        const char* name;
        std::vector<uint8_t> bytes;
        uint32_t status;
    } cases[] = {
        {"shorter than the header", std::vector<uint8_t>(one.begin(), one.begin() + 11), kStatusInvalidBufferSize},
        {"header size 16", with(one, 0, 16), kStatusInvalidParameter1},
        {"count beyond the bytes", std::vector<uint8_t>(one.begin(), one.end() - 1), kStatusInvalidParameter2},
        {"bytes beyond the count", longer, kStatusInvalidParameter2},
        {"too many ranges", tooMany, kStatusInvalidParameter2},
        {"port 0", with(one, 12, 0), kStatusInvalidParameter},
        {"first above last", with(one, 12, 91), kStatusInvalidParameter},
        {"all ports with a range", allWithRange, kStatusInvalidParameter},
        {"unknown flag", unknownFlag, kStatusInvalidParameter},
    };
    for (const auto& c : cases) {
        NfePortRules out = NfePortRules::Of({{7, 7}});
        EXPECT_EQ(NfePortRules::Decode(c.bytes.data(), c.bytes.size(), out), c.status) << c.name;
        EXPECT_EQ(out, NfePortRules::Of({{7, 7}})) << c.name;
    }
}

TEST(NfePortRulesTest, RangesAreJoinedAndTooManyHoldEveryPort) {
    const NfePortRules joined = NfePortRules::Of({{8080, 8080}, {80, 80}, {81, 85}, {84, 90}, {0, 5}, {9, 8}});
    EXPECT_EQ(joined.ranges, (std::vector<NfePortRange>{{80, 90}, {8080, 8080}}));
    EXPECT_TRUE(joined.Holds(85) && joined.Holds(8080));
    EXPECT_FALSE(joined.Holds(91) || joined.Holds(443) || joined.Holds(0));
    EXPECT_TRUE(NfePortRules::Of({{1, 100}, {101, 65535}}).allPorts);
    std::vector<NfePortRange> many;
    for (uint16_t p = 1; p <= 2 * (kNfeMaxPortRanges + 1); p += 2) many.push_back({p, p});
    EXPECT_EQ(NfePortRules::Of(many), NfePortRules::All());
    EXPECT_FALSE(NfePortRules::Of({}).Holds(443));
}

}  // namespace
}  // namespace hbt
