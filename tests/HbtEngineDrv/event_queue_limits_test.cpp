#include "tests/HbtEngineDrv/engine_fixture.h"

namespace hbt {
namespace {

using EventQueueLimitsTest = EngineFixture;

TEST_F(EventQueueLimitsTest, FullQueuePausesInterceptionAndThenDropsMessages) {
    StartWith(NfeConfig{});
    for (int i = 0; i < 1000; ++i) ASSERT_EQ(platform.Connect({}).action, ConnectAction::kPend);
    ASSERT_EQ(engine.QueuedEventCount(), 1000u);

    for (int i = 0; i < 15; ++i) EXPECT_EQ(platform.Connect({}).action, ConnectAction::kPermit);
    EXPECT_EQ(engine.QueuedEventCount(), 1011u) << "one message per refused connect until 1011";
    EXPECT_EQ(engine.PendingRedirectCount(), 1000u);

    auto events = Drain();
    ASSERT_EQ(events.size(), 1011u);
    EXPECT_EQ(events[1000].MessageText(), "391:NfeEventList is too big");
    EXPECT_EQ(events[1000].messageStatus, kStatusUnsuccessful);
    EXPECT_EQ(events[1000].messageParameter, 1000u);
    EXPECT_EQ(events[1010].messageParameter, 1010u);

    // Drained: interception goes on.
    EXPECT_EQ(platform.Connect({}).action, ConnectAction::kPend);
}

TEST_F(EventQueueLimitsTest, OldHeadEventStopsTheEngine) {
    NfeConfig c;
    c.maxEventAgeSeconds = 5;
    StartWith(c);
    auto first = platform.Connect({});
    platform.Advance(5 * kSecond);
    EXPECT_EQ(platform.Connect({}).action, ConnectAction::kPend) << "exactly 5 s is not too old";
    platform.Advance(1);
    EXPECT_EQ(platform.Connect({}).action, ConnectAction::kPermit);
    EXPECT_FALSE(engine.IsActive());
    EXPECT_EQ(platform.Completions(first.connectHandle).size(), 1u);

    auto events = Drain();
    ASSERT_EQ(events.size(), 1u) << "connect events dropped, the stop message at the tail";
    EXPECT_EQ(events[0].MessageText(), "RuzOraDadeda stopped.");
    EXPECT_EQ(events[0].messageStatus, 1u);
    EXPECT_EQ(events[0].messageParameter, 2u);
    EXPECT_EQ(events[0].messageSeverity, 1u);

    // The program starts it again.
    EXPECT_EQ(Call(NFE_IOCTL_START).status, kStatusSuccess);
    EXPECT_EQ(platform.Connect({}).action, ConnectAction::kPend);
}

TEST_F(EventQueueLimitsTest, ThousandFlowContextsPauseInterception) {
    StartWith(TlsCaptureConfig());
    for (int i = 0; i < 1000; ++i) {
        InspectedFlow();
        Drain();
    }
    EXPECT_EQ(platform.Connect({}).action, ConnectAction::kPermit);
    auto events = Drain();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].MessageText(), "397:g_NfeFlowListSize is too big");
    EXPECT_EQ(events[0].messageParameter, 1000u);
}

TEST_F(EventQueueLimitsTest, OversizeSegmentIsNotCaptured) {
    StartWith(TlsCaptureConfig());
    uint64_t flow = InspectedFlow();
    Drain();
    std::vector<uint8_t> huge(1000001, 0);
    huge[0] = 0x16;
    huge[1] = 0x03;
    EXPECT_EQ(platform.Segment(flow, NFE_STREAM_FLAG_SEND, huge), StreamAction::kAllowConnection);
    auto texts = Texts(Drain());
    ASSERT_GE(texts.size(), 2u);
    EXPECT_EQ(texts[0], "134:Size is too big");
    EXPECT_EQ(texts[1], "72:CreateNfeEvent failed");

    uint64_t second = InspectedFlow();
    Drain();
    huge.resize(1000000);
    EXPECT_EQ(platform.Segment(second, NFE_STREAM_FLAG_SEND, huge), StreamAction::kBlock);
    auto events = Drain();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].data.size(), 1000000u);
}

}  // namespace
}  // namespace hbt
