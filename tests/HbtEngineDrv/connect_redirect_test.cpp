#include <algorithm>

#include "tests/HbtEngineDrv/engine_fixture.h"

namespace hbt {
namespace {

class ConnectRedirectTest : public EngineFixture {
protected:
    void SetUp() override { StartWith(TlsCaptureConfig()); }

    std::vector<ConnectCompletion> CompletionsOf(const SimPlatform::ConnectResult& r) {
        return platform.Completions(r.connectHandle);
    }
};

TEST_F(ConnectRedirectTest, InactiveEngineLetsConnectsPassWithoutRequests) {
    ASSERT_EQ(Call(NFE_IOCTL_STOP).status, kStatusSuccess);
    Drain();
    EXPECT_EQ(platform.Connect({}).action, ConnectAction::kPermit);
    EXPECT_EQ(engine.PendingRedirectCount(), 0u);
    EXPECT_EQ(engine.QueuedEventCount(), 0u);
}

TEST_F(ConnectRedirectTest, ConnectEventDescribesTheConnection) {
    SimConnection c;
    c.processId = 31337;
    c.applicationPath = u"/usr/bin/wget";
    c.userSid = {1, 2, 0, 0, 0, 0, 0, 5, 21, 0, 0, 0, 7, 0, 0, 0};  // two sub-authorities
    auto r = platform.Connect(c);
    ASSERT_EQ(r.action, ConnectAction::kPend);
    auto e = NextEvent();
    ASSERT_TRUE(e);
    EXPECT_EQ(e->type, NFE_EVENT_CONNECT_REDIRECT);
    EXPECT_EQ(e->processId, 31337u);
    EXPECT_EQ(e->redirectRequestId, r.connectHandle);
    EXPECT_EQ(e->endpointHandle, r.endpointHandle);
    EXPECT_EQ(e->ApplicationPath(), u"/usr/bin/wget");
    EXPECT_EQ(e->applicationPathLength, (13u + 1u) * 2u);
    EXPECT_EQ(e->data.size(), e->applicationPathLength);
    EXPECT_EQ(e->source, c.local);
    EXPECT_EQ(e->destination, c.remote);
    EXPECT_EQ(e->userSid[1], 2);
    EXPECT_EQ(e->userSid[12], 7);
    EXPECT_NE(e->queueTime, 0u);
    EXPECT_TRUE(CompletionsOf(r).empty());
}

TEST_F(ConnectRedirectTest, AnswersCompleteTheHeldConnect) {
    auto permit = platform.Connect({});
    ASSERT_EQ(Answer(permit.connectHandle, NFE_ANSWER_PERMIT), kStatusSuccess);
    ASSERT_EQ(CompletionsOf(permit).size(), 1u);
    EXPECT_FALSE(CompletionsOf(permit)[0].redirect);

    // IPv4: 16 bytes of the new destination are taken, the rest stays zero.
    auto v4 = platform.Connect({});
    SocketAddressSlot proxy = SocketAddressSlot::Ipv4({127, 0, 0, 1}, 50123);
    SocketAddressSlot noisy = proxy;
    noisy.bytes[20] = 0xAB;  // beyond the IPv4 layout
    ASSERT_EQ(Answer(v4.connectHandle, NFE_ANSWER_REDIRECT, noisy), kStatusSuccess);
    ASSERT_EQ(CompletionsOf(v4).size(), 1u);
    EXPECT_TRUE(CompletionsOf(v4)[0].redirect);
    EXPECT_EQ(CompletionsOf(v4)[0].newRemote, proxy);
    EXPECT_EQ(CompletionsOf(v4)[0].redirectTargetProcessId, 77u);

    SimConnection c6;
    c6.local = SocketAddressSlot::Ipv6({0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2}, 40000);
    c6.remote = SocketAddressSlot::Ipv6({0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, 80);
    auto v6 = platform.Connect(c6);
    SocketAddressSlot proxy6 = SocketAddressSlot::Ipv6({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, 50124, 0, 3);
    ASSERT_EQ(Answer(v6.connectHandle, NFE_ANSWER_REDIRECT, proxy6), kStatusSuccess);
    ASSERT_EQ(CompletionsOf(v6).size(), 1u);
    EXPECT_EQ(CompletionsOf(v6)[0].newRemote, proxy6);

    // The same id again, and an id never issued.
    EXPECT_EQ(Answer(v4.connectHandle, NFE_ANSWER_PERMIT), kStatusNoSuchRedirect);
    EXPECT_EQ(Answer(0xDEAD, NFE_ANSWER_PERMIT), kStatusNoSuchRedirect);
    EXPECT_EQ(CompletionsOf(v4).size(), 1u);
    EXPECT_EQ(engine.PendingRedirectCount(), 0u);
}

TEST_F(ConnectRedirectTest, InspectIsKeptForTheFlowOnlyWhilePatternsExist) {
    auto inspected = platform.Connect({});
    ASSERT_EQ(Answer(inspected.connectHandle, 5), kStatusSuccess);
    ASSERT_EQ(CompletionsOf(inspected).size(), 1u);
    EXPECT_EQ(engine.PendingRedirectCount(), 1u);
    // Answered once: a second answer must not complete the connect again.
    EXPECT_EQ(Answer(inspected.connectHandle, 5), kStatusNoSuchRedirect);
    EXPECT_EQ(CompletionsOf(inspected).size(), 1u);

    uint64_t flow = platform.Establish({}, inspected.endpointHandle);
    EXPECT_TRUE(platform.IsInspected(flow));
    EXPECT_EQ(engine.PendingRedirectCount(), 0u);
    EXPECT_EQ(engine.FlowCount(), 1u);
    Drain();

    // Without capture patterns the answer completes the connect and keeps nothing.
    Configure(NfeConfig{});
    auto plain = platform.Connect({});
    ASSERT_EQ(Answer(plain.connectHandle, 5), kStatusSuccess);
    EXPECT_EQ(CompletionsOf(plain).size(), 1u);
    EXPECT_EQ(engine.PendingRedirectCount(), 0u);
    uint64_t notInspected = platform.Establish({}, plain.endpointHandle);
    EXPECT_FALSE(platform.IsInspected(notInspected));
}

TEST_F(ConnectRedirectTest, FlowEstablishedEventAfterInspect) {
    uint64_t flow = InspectedFlow();
    auto events = Drain();
    ASSERT_EQ(events.back().type, NFE_EVENT_FLOW_ESTABLISHED);
    EXPECT_EQ(events.back().flowId, flow);
    EXPECT_EQ(events.back().processId, 4242u);
    EXPECT_EQ(events.back().ApplicationPath(), u"/usr/bin/curl");
}

TEST_F(ConnectRedirectTest, OwnAndAlreadyRedirectedConnectsAreNotTouched) {
    SimConnection own;
    own.processId = 77;
    SimConnection redirected;
    redirected.alreadyRedirected = true;
    SimConnection udp;
    udp.protocol = 17;
    EXPECT_EQ(platform.Connect(own).action, ConnectAction::kPermit);
    EXPECT_EQ(platform.Connect(redirected).action, ConnectAction::kPermit);
    EXPECT_EQ(platform.Connect(udp).action, ConnectAction::kPermit);
    EXPECT_EQ(Texts(Drain()), std::vector<std::string>{"48:Connect redirect layer non TCP protocol"});
    EXPECT_EQ(engine.PendingRedirectCount(), 0u);
}

TEST_F(ConnectRedirectTest, UnansweredConnectIsAbandonedAfterTenSeconds) {
    auto first = platform.Connect({});
    platform.Advance(10 * kSecond);  // not yet past the timeout
    auto second = platform.Connect({});
    EXPECT_TRUE(CompletionsOf(first).empty());

    platform.Advance(1);
    auto third = platform.Connect({});
    ASSERT_EQ(CompletionsOf(first).size(), 1u);
    EXPECT_FALSE(CompletionsOf(first)[0].redirect);
    EXPECT_TRUE(CompletionsOf(second).empty());
    EXPECT_EQ(third.action, ConnectAction::kPend);
    EXPECT_EQ(Answer(first.connectHandle, NFE_ANSWER_PERMIT), kStatusNoSuchRedirect);

    auto events = Drain();
    auto abandoned = std::find_if(events.begin(), events.end(),
                                  [](const NfeEvent& e) { return e.type == NFE_EVENT_MESSAGE; });
    ASSERT_NE(abandoned, events.end());
    EXPECT_EQ(abandoned->MessageText(), "107:Abandoned redirection request detected");
    EXPECT_EQ(abandoned->messageParameter, first.connectHandle);
    EXPECT_TRUE(engine.IsActive());
}

TEST_F(ConnectRedirectTest, ALonePassLetsAnUnansweredConnectGoWithoutAnotherConnect) {
    auto lone = platform.Connect({});
    platform.Advance(10 * kSecond + 1);
    engine.ExpirePending();
    ASSERT_EQ(CompletionsOf(lone).size(), 1u);
    EXPECT_FALSE(CompletionsOf(lone)[0].redirect);
    EXPECT_EQ(Texts(Drain()), std::vector<std::string>{"107:Abandoned redirection request detected"});
    EXPECT_EQ(engine.PendingRedirectCount(), 0u);
}

TEST_F(ConnectRedirectTest, ThirdAbandoningPassInARowStopsTheEngine) {
    auto a = platform.Connect({});
    platform.Advance(11 * kSecond);
    auto b = platform.Connect({});  // pass 1 abandons a
    platform.Advance(11 * kSecond);
    auto c = platform.Connect({});  // pass 2 abandons b
    platform.Advance(11 * kSecond);
    auto d = platform.Connect({});  // pass 3 abandons c: emergency stop
    EXPECT_EQ(d.action, ConnectAction::kPermit);
    EXPECT_FALSE(engine.IsActive());
    for (const auto& r : {a, b, c}) EXPECT_EQ(CompletionsOf(r).size(), 1u);
    EXPECT_EQ(engine.PendingRedirectCount(), 0u);

    auto events = Drain();
    std::vector<std::string> texts = Texts(events);
    ASSERT_EQ(texts.size(), 5u);
    EXPECT_EQ(texts[3], "124:Too many abandoned redirection requests detected. Engine emergency stop");
    EXPECT_EQ(texts[4], "RuzOraDadeda stopped.");
    EXPECT_EQ(events.back().messageStatus, 1u);
    for (const auto& e : events) EXPECT_EQ(e.type, NFE_EVENT_MESSAGE) << "connect events dropped by the stop";
}

TEST_F(ConnectRedirectTest, AnAnswerBetweenAbandonmentsResetsTheCount) {
    platform.Connect({});
    platform.Advance(11 * kSecond);
    platform.Connect({});  // abandonment 1
    platform.Advance(11 * kSecond);
    auto answered = platform.Connect({});  // abandonment 2
    ASSERT_EQ(Answer(answered.connectHandle, NFE_ANSWER_PERMIT), kStatusSuccess);
    platform.Advance(11 * kSecond);
    platform.Connect({});  // abandonment 1 again
    EXPECT_TRUE(engine.IsActive());
}

TEST_F(ConnectRedirectTest, InspectionRequestIsForgottenAfterSixtySeconds) {
    auto r = platform.Connect({});
    ASSERT_EQ(Answer(r.connectHandle, 5), kStatusSuccess);
    platform.Advance(60 * kSecond + 1);
    platform.Connect({});
    EXPECT_EQ(engine.PendingRedirectCount(), 1u);  // only the new one
    EXPECT_FALSE(platform.IsInspected(platform.Establish({}, r.endpointHandle)));
    EXPECT_EQ(CompletionsOf(r).size(), 1u);
    EXPECT_TRUE(Texts(Drain()).empty()) << "forgetting an answered request is no abandonment";
}

}  // namespace
}  // namespace hbt
