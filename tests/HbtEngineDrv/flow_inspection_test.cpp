#include "tests/HbtEngineDrv/engine_fixture.h"

namespace hbt {
namespace {

class FlowInspectionTest : public EngineFixture {
protected:
    void SetUp() override { StartWith(TlsCaptureConfig()); }

    std::vector<NfeEvent> StreamEvents() {
        std::vector<NfeEvent> found;
        for (auto& e : Drain()) {
            if (e.type == NFE_EVENT_STREAM_DATA) found.push_back(std::move(e));
        }
        return found;
    }

    bool SawFlowDeleted(uint64_t flow, const std::vector<NfeEvent>& events) {
        for (const auto& e : events) {
            if (e.type == NFE_EVENT_FLOW_DELETED && e.flowId == flow) return true;
        }
        return false;
    }

    const std::vector<uint8_t> hello{0x16, 0x03, 0x01, 0x00, 0x05, 0x01};
};

TEST_F(FlowInspectionTest, FirstSentSegmentDecidesCapture) {
    struct Case {
        const char* name;
        uint32_t flags;
        std::vector<uint8_t> first;
        StreamAction expected;
    };
    const std::vector<Case> cases = {
        {"TLS client hello", NFE_STREAM_FLAG_SEND, {0x16, 0x03, 0x01, 0x02}, StreamAction::kBlock},
        {"HTTP request", NFE_STREAM_FLAG_SEND, Bytes("GET / HTTP/1.1\r\n"), StreamAction::kBlock},
        {"SSH banner", NFE_STREAM_FLAG_SEND, Bytes("SSH-2.0-OpenSSH_9.6\r\n"), StreamAction::kAllowConnection},
        {"shorter than every pattern", NFE_STREAM_FLAG_SEND, {0x16}, StreamAction::kAllowConnection},
        {"server speaks first", NFE_STREAM_FLAG_RECEIVE, Bytes("220 smtp ready\r\n"), StreamAction::kAllowConnection},
        {"closed before any data", NFE_STREAM_FLAG_RECEIVE | NFE_STREAM_FLAG_RECEIVE_DISCONNECT, {},
         StreamAction::kAllowConnection},
    };
    for (const Case& c : cases) {
        uint64_t flow = InspectedFlow();
        Drain();
        const std::size_t flowsBefore = engine.FlowCount();
        EXPECT_EQ(platform.Segment(flow, c.flags, c.first), c.expected) << c.name;
        auto events = Drain();
        if (c.expected == StreamAction::kBlock) {
            ASSERT_EQ(events.size(), 1u) << c.name;
            EXPECT_EQ(events[0].type, NFE_EVENT_STREAM_DATA);
            EXPECT_EQ(events[0].data, c.first);
            EXPECT_EQ(events[0].streamFlags, c.flags);
            EXPECT_EQ(events[0].flowId, flow);
            EXPECT_EQ(events[0].processId, 4242u);
            EXPECT_TRUE(platform.IsInspected(flow)) << c.name;
        } else {
            // Inspection ends: the flow is let go and the program told so.
            EXPECT_FALSE(platform.IsInspected(flow)) << c.name;
            EXPECT_TRUE(SawFlowDeleted(flow, events)) << c.name;
            EXPECT_EQ(engine.FlowCount(), flowsBefore - 1) << c.name;
        }
    }
}

TEST_F(FlowInspectionTest, LaterSegmentsOfACapturedFlowNeedNoMatch) {
    uint64_t flow = InspectedFlow();
    ASSERT_EQ(platform.Segment(flow, NFE_STREAM_FLAG_SEND, hello), StreamAction::kBlock);
    EXPECT_EQ(platform.Segment(flow, NFE_STREAM_FLAG_RECEIVE, Bytes("server hello")), StreamAction::kBlock);
    EXPECT_EQ(platform.Segment(flow, NFE_STREAM_FLAG_SEND, Bytes("anything")), StreamAction::kBlock);
    EXPECT_EQ(platform.Segment(flow, NFE_STREAM_FLAG_RECEIVE | NFE_STREAM_FLAG_RECEIVE_DISCONNECT, {}),
              StreamAction::kBlock);
    auto events = StreamEvents();
    ASSERT_EQ(events.size(), 4u);
    EXPECT_TRUE(events[3].data.empty());
    EXPECT_EQ(events[3].streamFlags, NFE_STREAM_FLAG_RECEIVE | NFE_STREAM_FLAG_RECEIVE_DISCONNECT);
}

TEST_F(FlowInspectionTest, ExpeditedDataEndsInspection) {
    uint64_t flow = InspectedFlow();
    ASSERT_EQ(platform.Segment(flow, NFE_STREAM_FLAG_SEND, hello), StreamAction::kBlock);
    EXPECT_EQ(platform.Segment(flow, NFE_STREAM_FLAG_SEND | NFE_STREAM_FLAG_SEND_EXPEDITED, {1}),
              StreamAction::kAllowConnection);
    EXPECT_FALSE(platform.IsInspected(flow));
    auto texts = Texts(Drain());
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_EQ(texts[0], "156:Expedited stream data is not supported");
}

TEST_F(FlowInspectionTest, DetachReinjectsQueuedSegmentsInOrderThenCapturesNothing) {
    uint64_t flow = InspectedFlow();
    uint64_t other = InspectedFlow();
    Drain();
    ASSERT_EQ(platform.Segment(flow, NFE_STREAM_FLAG_SEND, hello), StreamAction::kBlock);
    ASSERT_EQ(platform.Segment(other, NFE_STREAM_FLAG_SEND, hello), StreamAction::kBlock);
    ASSERT_EQ(platform.Segment(flow, NFE_STREAM_FLAG_RECEIVE, Bytes("two")), StreamAction::kBlock);
    ASSERT_EQ(platform.Segment(flow, NFE_STREAM_FLAG_SEND, Bytes("three")), StreamAction::kBlock);

    ASSERT_EQ(FlowOp(flow, NFE_FLOW_DETACH, 0), kStatusSuccess);
    auto injections = platform.Injections();
    ASSERT_EQ(injections.size(), 3u);
    EXPECT_EQ(injections[0].data, hello);
    EXPECT_EQ(injections[0].streamFlags, NFE_STREAM_FLAG_SEND);
    EXPECT_EQ(injections[1].data, Bytes("two"));
    EXPECT_EQ(injections[1].streamFlags, NFE_STREAM_FLAG_RECEIVE);
    EXPECT_EQ(injections[2].data, Bytes("three"));
    for (const auto& i : injections) EXPECT_EQ(i.flowId, flow);

    // The other flow's segment is still queued; the detached flow adds nothing
    // and its inspection ends at its next indication.
    EXPECT_EQ(engine.QueuedEventCount(), 1u);
    EXPECT_EQ(platform.Segment(flow, NFE_STREAM_FLAG_RECEIVE, Bytes("four")), StreamAction::kAllowConnection);
    auto events = Drain();
    for (const auto& e : events) EXPECT_FALSE(e.type == NFE_EVENT_STREAM_DATA && e.flowId == flow);
    EXPECT_TRUE(SawFlowDeleted(flow, events));
}

TEST_F(FlowInspectionTest, InjectRules) {
    uint64_t flow = InspectedFlow();
    ASSERT_EQ(platform.Segment(flow, NFE_STREAM_FLAG_SEND, hello), StreamAction::kBlock);
    Drain();
    struct Case {
        const char* name;
        uint32_t flags;
        std::vector<uint8_t> data;
        uint32_t expected;
    };
    const std::vector<Case> cases = {
        {"send data", NFE_STREAM_FLAG_SEND, hello, kStatusSuccess},
        {"deliver data", NFE_STREAM_FLAG_RECEIVE, Bytes("in"), kStatusSuccess},
        {"empty send", NFE_STREAM_FLAG_SEND, {}, kStatusInvalidParameter},
        {"empty close towards the application", NFE_STREAM_FLAG_RECEIVE | NFE_STREAM_FLAG_RECEIVE_DISCONNECT, {},
         kStatusSuccess},
        {"empty send disconnect", NFE_STREAM_FLAG_SEND_DISCONNECT, {}, kStatusSuccess},
    };
    for (const Case& c : cases) {
        const std::size_t before = platform.Injections().size();
        EXPECT_EQ(FlowOp(flow, NFE_FLOW_INJECT, c.flags, c.data), c.expected) << c.name;
        auto injections = platform.Injections();
        if (c.expected == kStatusSuccess) {
            ASSERT_EQ(injections.size(), before + 1) << c.name;
            EXPECT_EQ(injections.back().streamFlags, c.flags) << c.name;
            EXPECT_EQ(injections.back().data, c.data) << c.name;
            EXPECT_EQ(injections.back().layerId, kLayerStreamV4);
            EXPECT_EQ(injections.back().calloutId, kStreamCalloutIdV4);
        } else {
            EXPECT_EQ(injections.size(), before) << c.name;
            EXPECT_EQ(Texts(Drain()), (std::vector<std::string>{"77:dataLength=0 but flags!=*_DISCONNECT",
                                                                "346:Error at NfeEvtIoDeviceControl"}));
        }
    }
    EXPECT_EQ(FlowOp(flow, 3, 0), kStatusInvalidParameter);
    Drain();

    // A failing platform injection is reported with its status.
    platform.SetInjectionStatus(0xC000009A);
    EXPECT_EQ(FlowOp(flow, NFE_FLOW_INJECT, NFE_STREAM_FLAG_SEND, {1}), 0xC000009Au);
    auto events = Drain();
    ASSERT_GE(events.size(), 1u);
    EXPECT_EQ(events[0].MessageText(), "107:Stream injection failed");
    EXPECT_EQ(events[0].messageStatus, 0xC000009Au);
    EXPECT_EQ(events[0].messageParameter, flow);
}

TEST_F(FlowInspectionTest, AutomaticStopClosesInspectedConnectionsRequestedStopDoesNot) {
    uint64_t flow = InspectedFlow();
    ASSERT_EQ(Call(NFE_IOCTL_STOP).status, kStatusSuccess);
    EXPECT_FALSE(platform.IsInspected(flow));
    EXPECT_TRUE(platform.Injections().empty());
    auto stopped = Drain();
    EXPECT_FALSE(SawFlowDeleted(flow, stopped)) << "no flow events from a stopped engine";

    ASSERT_EQ(Call(NFE_IOCTL_START).status, kStatusSuccess);
    uint64_t v4 = InspectedFlow();
    SimConnection c6;
    c6.local = SocketAddressSlot::Ipv6({0xfd, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2}, 40000);
    c6.remote = SocketAddressSlot::Ipv6({0xfd, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, 443);
    uint64_t v6 = InspectedFlow(c6);
    // An automatic stop: the program stopped reading for longer than the event age.
    NfeConfig aging = TlsCaptureConfig();
    aging.maxEventAgeSeconds = 5;
    Configure(aging);
    platform.Advance(6 * kSecond);
    platform.Connect({});
    EXPECT_FALSE(engine.IsActive());
    auto injections = platform.Injections();
    ASSERT_EQ(injections.size(), 2u);
    for (const auto& i : injections) {
        EXPECT_TRUE(i.data.empty());
        EXPECT_EQ(i.streamFlags, NFE_STREAM_FLAG_RECEIVE | NFE_STREAM_FLAG_RECEIVE_DISCONNECT);
    }
    EXPECT_EQ(injections[0].flowId, v4);
    EXPECT_EQ(injections[1].flowId, v6);
    EXPECT_EQ(injections[1].layerId, kLayerStreamV6);
    EXPECT_FALSE(platform.IsInspected(v4));
    EXPECT_FALSE(platform.IsInspected(v6));
}

TEST_F(FlowInspectionTest, FlowEndReportsDeletion) {
    uint64_t flow = InspectedFlow();
    Drain();
    platform.EndFlow(flow);
    auto events = Drain();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].type, NFE_EVENT_FLOW_DELETED);
    EXPECT_EQ(events[0].flowId, flow);
    EXPECT_EQ(events[0].processId, 4242u);
    EXPECT_EQ(events[0].EncodedSize(), 304u);
    EXPECT_EQ(engine.FlowCount(), 0u);
    EXPECT_EQ(FlowOp(flow, NFE_FLOW_DETACH, 0), kStatusNotFound);
}

TEST_F(FlowInspectionTest, MissingFlowContextIsReported) {
    engine.FlowDeleted(kLayerStreamV4, kStreamCalloutIdV4, nullptr);
    ClassifyInfo stream;
    stream.layerId = kLayerStreamV6;
    EXPECT_EQ(engine.ClassifyStream(stream, {NFE_STREAM_FLAG_SEND, {1}}, nullptr), StreamAction::kNone);
    auto events = Drain();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].MessageText(), "336:NfeCalloutFlowDelete: flowContext=0");
    EXPECT_EQ(events[0].messageStatus, kLayerStreamV4);
    EXPECT_EQ(events[0].messageParameter, kStreamCalloutIdV4);
    EXPECT_EQ(events[1].MessageText(), "68:flowContext=0");
    EXPECT_EQ(events[1].messageParameter, kLayerStreamV6);
}

class InsertionModeTest : public EngineFixture {
protected:
    void SetUp() override {
        NfeConfig c;
        const std::string prefix = "GET http://";
        std::copy(prefix.begin(), prefix.end(), c.insertionPrefix.begin());
        c.insertionTerminator = '/';
        const std::string patterns = std::string("*.example.org") + '\0' + "intra?et" + '\0';
        std::copy(patterns.begin(), patterns.end(), c.insertionHostPatterns.begin());
        const std::string data = "X-Tag: 1\r\n";
        std::copy(data.begin(), data.end(), c.insertionData.begin());
        c.insertionDataLength = static_cast<uint32_t>(data.size());
        StartWith(c);
    }
};

TEST_F(InsertionModeTest, MatchingRequestGetsTheLineAfterItsFirstLine) {
    uint64_t flow = InspectedFlow();
    Drain();
    const auto request = Bytes("GET http://www.Example.org/x HTTP/1.1\r\nHost: a\r\n\r\n");
    EXPECT_EQ(platform.Segment(flow, NFE_STREAM_FLAG_SEND, request), StreamAction::kBlock);
    auto injections = platform.Injections();
    ASSERT_EQ(injections.size(), 1u);
    EXPECT_EQ(injections[0].data, Bytes("GET http://www.Example.org/x HTTP/1.1\r\nX-Tag: 1\r\nHost: a\r\n\r\n"));
    EXPECT_EQ(injections[0].streamFlags, NFE_STREAM_FLAG_SEND);
    auto events = Drain();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].data, request);
    EXPECT_EQ(events[0].answerFlags, 2u);

    // Not matching: reported with flag 1, the segment passes, the flow stays inspected.
    EXPECT_EQ(platform.Segment(flow, NFE_STREAM_FLAG_SEND, Bytes("GET http://other.net/ HTTP/1.1\r\n")),
              StreamAction::kNone);
    EXPECT_EQ(platform.Segment(flow, NFE_STREAM_FLAG_RECEIVE, Bytes("HTTP/1.1 200 OK\r\n")), StreamAction::kNone);
    events = Drain();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].answerFlags, 1u);
    EXPECT_EQ(platform.Injections().size(), 1u);
    EXPECT_TRUE(platform.IsInspected(flow));
}

}  // namespace
}  // namespace hbt
