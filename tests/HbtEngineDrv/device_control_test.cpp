#include <algorithm>

#include "engine_protocol/byte_order.h"
#include "engine_protocol/nfe_counters.h"
#include "engine_protocol/nfe_port_rules.h"
#include "tests/HbtEngineDrv/engine_fixture.h"

namespace hbt {
namespace {

using DeviceControlTest = EngineFixture;

std::vector<uint8_t> ConfigBytes() { return NfeConfig{}.Encode(); }

std::vector<uint8_t> NfePortRange0() {
    std::vector<uint8_t> b = NfePortRules::Of({{80, 80}}).Encode();
    PutU16(&b[12], 0);
    return b;
}

struct StatusCase {
    const char* name;
    uint32_t code;
    std::vector<uint8_t> input;
    uint32_t expected;
};

TEST_F(DeviceControlTest, RecordChecksOfAStartedEngine) {
    StartWith(TlsCaptureConfig());
    auto config = [](auto edit) {
        std::vector<uint8_t> b = ConfigBytes();
        edit(b);
        return b;
    };
    auto answer = [](auto edit) {
        std::vector<uint8_t> b = NfeEvent::EncodeAnswer(1, NFE_ANSWER_PERMIT);
        edit(b);
        return b;
    };
    std::vector<uint8_t> flowOp40 = NfeFlowOperation{0, 1, NFE_FLOW_INJECT, {1, 2, 3, 4}}.Encode();
    flowOp40.resize(40);
    std::vector<uint8_t> flowOpBadHeader = NfeFlowOperation{0, 1, NFE_FLOW_DETACH, {}}.Encode();
    PutU32(&flowOpBadHeader[0], 33);

    const std::vector<StatusCase> cases = {
        {"config 51243 bytes", NFE_IOCTL_SET_CONFIG, config([](auto& b) { b.pop_back(); }), kStatusInvalidBufferSize},
        {"config 51245 bytes", NFE_IOCTL_SET_CONFIG, config([](auto& b) { b.push_back(0); }), kStatusInvalidBufferSize},
        {"config size field 51240", NFE_IOCTL_SET_CONFIG, config([](auto& b) { PutU32(&b[0], 51240); }),
         kStatusInvalidParameter1},
        {"insertion length 1001", NFE_IOCTL_SET_CONFIG, config([](auto& b) { PutU32(&b[51040], 1001); }),
         kStatusInvalidParameter2},
        {"insertion length 1000", NFE_IOCTL_SET_CONFIG, config([](auto& b) { PutU32(&b[51040], 1000); }),
         kStatusSuccess},
        {"host patterns byte 50035", NFE_IOCTL_SET_CONFIG, config([](auto& b) { b[50035] = 'x'; }),
         kStatusInvalidParameter3},
        {"host patterns byte 50036", NFE_IOCTL_SET_CONFIG, config([](auto& b) { b[50036] = 'x'; }),
         kStatusInvalidParameter3},
        {"answer 303 bytes", NFE_IOCTL_PROCESS_REDIRECT, answer([](auto& b) { b.pop_back(); }),
         kStatusInvalidBufferSize},
        {"answer size field 300", NFE_IOCTL_PROCESS_REDIRECT, answer([](auto& b) { PutU32(&b[0], 300); }),
         kStatusInvalidParameter1},
        {"answer unknown id", NFE_IOCTL_PROCESS_REDIRECT, answer([](auto&) {}), kStatusNoSuchRedirect},
        {"flow operation 31 bytes", NFE_IOCTL_FLOW_OPERATION, std::vector<uint8_t>(31), kStatusInvalidBufferSize},
        {"flow operation header 33", NFE_IOCTL_FLOW_OPERATION, flowOpBadHeader, kStatusInvalidParameter1},
        {"flow operation 40 bytes, length 4", NFE_IOCTL_FLOW_OPERATION, flowOp40, kStatusInvalidParameter2},
        {"flow operation unknown flow", NFE_IOCTL_FLOW_OPERATION, NfeFlowOperation{0, 99, NFE_FLOW_DETACH, {}}.Encode(),
         kStatusNotFound},
        {"start while started", NFE_IOCTL_START, {}, kStatusAlreadyStarted},
        {"unknown code (function 6)", 0x120018, {}, kStatusInvalidParameter},
        {"port rules with port 0", NFE_IOCTL_SET_PORT_RULES, NfePortRange0(), kStatusInvalidParameter},
        {"port rules", NFE_IOCTL_SET_PORT_RULES, NfePortRules::Of({{80, 80}}).Encode(), kStatusSuccess},
    };
    for (const StatusCase& c : cases) {
        DeviceReply reply = Call(c.code, c.input);
        EXPECT_EQ(reply.status, c.expected) << c.name;
        std::vector<std::string> texts = Texts(Drain());
        if (c.expected == kStatusSuccess) {
            EXPECT_TRUE(texts.empty()) << c.name;
        } else {
            // Every such refusal is also reported with the code as parameter.
            ASSERT_EQ(texts.size(), 1u) << c.name;
            EXPECT_EQ(texts[0], "346:Error at NfeEvtIoDeviceControl") << c.name;
        }
    }
}

TEST_F(DeviceControlTest, ErrorMessageCarriesStatusAndCode) {
    Configure(NfeConfig{});
    Call(0x120018);
    auto events = Drain();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].messageStatus, kStatusInvalidParameter);
    EXPECT_EQ(events[0].messageParameter, 0x120018u);
    EXPECT_EQ(events[0].messageSeverity, 0u);
}

TEST_F(DeviceControlTest, StoppedEngineRefusesQuietly) {
    // A fresh engine lets everything pass and queues nothing.
    EXPECT_EQ(platform.Connect({}).action, ConnectAction::kPermit);
    EXPECT_EQ(engine.QueuedEventCount(), 0u);
    EXPECT_EQ(engine.PendingRedirectCount(), 0u);
    // Before any configuration.
    EXPECT_EQ(Call(NFE_IOCTL_START).status, kStatusNotConfigured);
    EXPECT_EQ(Texts(Drain()), std::vector<std::string>{"346:Error at NfeEvtIoDeviceControl"});

    Configure(NfeConfig{});
    const std::vector<StatusCase> cases = {
        {"stop", NFE_IOCTL_STOP, {}, kStatusServerDisabled},
        {"answer", NFE_IOCTL_PROCESS_REDIRECT, NfeEvent::EncodeAnswer(1, 1), kStatusServerDisabled},
        {"flow operation", NFE_IOCTL_FLOW_OPERATION, NfeFlowOperation{0, 1, NFE_FLOW_DETACH, {}}.Encode(),
         kStatusServerDisabled},
    };
    for (const StatusCase& c : cases) EXPECT_EQ(Call(c.code, c.input).status, c.expected) << c.name;
    EXPECT_EQ(engine.QueuedEventCount(), 0u) << "engine-not-started refusals are not reported";
}

TEST_F(DeviceControlTest, VersionAndCountersNeedRoomForTheirRecords) {
    DeviceReply small = Call(NFE_IOCTL_GET_VERSION, {}, 3);
    EXPECT_EQ(small.status, kStatusBufferTooSmall);
    DeviceReply version = Call(NFE_IOCTL_GET_VERSION, {}, 4);
    ASSERT_EQ(version.status, kStatusSuccess);
    ASSERT_EQ(version.information, 4u);
    EXPECT_EQ(GetU32(version.output.data()), 115u);

    EXPECT_EQ(Call(NFE_IOCTL_GET_COUNTERS, {}, 11).status, kStatusBufferTooSmall);
    EXPECT_EQ(engine.QueuedEventCount(), 0u);

    StartWith(TlsCaptureConfig());
    InspectedFlow();
    platform.Connect({});  // left waiting
    DeviceReply counters = Call(NFE_IOCTL_GET_COUNTERS, {}, 12);
    auto decoded = NfeCounters::Decode(counters.output.data(), counters.output.size());
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->flowContexts, 1u);
    EXPECT_EQ(decoded->redirectRequests, 1u);
}

TEST_F(DeviceControlTest, GetEventTooSmallReportsSizeAndKeepsTheEvent) {
    StartWith(TlsCaptureConfig());
    uint64_t flow = InspectedFlow();
    Drain();
    std::vector<uint8_t> hello(200, 0x01);
    hello[0] = 0x16;
    hello[1] = 0x03;
    ASSERT_EQ(platform.Segment(flow, NFE_STREAM_FLAG_SEND, hello), StreamAction::kBlock);

    DeviceReply small = Call(NFE_IOCTL_GET_EVENT, {}, 304);
    EXPECT_EQ(small.status, kStatusBufferTooSmall);
    EXPECT_EQ(small.information, 504u);
    EXPECT_TRUE(small.output.empty());
    EXPECT_EQ(engine.QueuedEventCount(), 1u) << "kept, and no error message for a small buffer";

    DeviceReply fits = Call(NFE_IOCTL_GET_EVENT, {}, 504);
    ASSERT_EQ(fits.status, kStatusSuccess);
    ASSERT_EQ(fits.information, 504u);
    auto event = NfeEvent::Decode(fits.output.data(), fits.output.size());
    ASSERT_TRUE(event);
    EXPECT_EQ(event->type, NFE_EVENT_STREAM_DATA);
    EXPECT_EQ(event->data, hello);
}

// The redirect request ids of the whole events in a batch reply.
std::vector<uint64_t> BatchIds(const DeviceReply& reply) {
    std::vector<uint64_t> ids;
    for (std::size_t at = 0; at < reply.output.size();) {
        const std::size_t size = kNfeEventHeaderSize + GetU32(&reply.output[at + nfe_event_offset::kDataLength]);
        auto event = NfeEvent::Decode(&reply.output[at], std::min(size, reply.output.size() - at));
        if (!event) return {};
        ids.push_back(event->redirectRequestId);
        at += size;
    }
    return ids;
}

TEST_F(DeviceControlTest, BatchedGetEventTakesEveryWholeEventThatFits) {
    StartWith(NfeConfig{});
    const auto a = platform.Connect({}), b = platform.Connect({}), c = platform.Connect({});
    DeviceReply all = Call(NFE_IOCTL_GET_EVENTS, {}, kBigBuffer);
    ASSERT_EQ(all.status, kStatusSuccess);
    EXPECT_EQ(all.information, all.output.size());
    EXPECT_EQ(BatchIds(all), (std::vector<uint64_t>{a.connectHandle, b.connectHandle, c.connectHandle}));
    const uint32_t one = static_cast<uint32_t>(all.output.size() / 3);

    const auto d = platform.Connect({}), e = platform.Connect({});
    EXPECT_EQ(Call(NFE_IOCTL_GET_EVENTS, {}, one - 1).status, kStatusBufferTooSmall);
    DeviceReply first = Call(NFE_IOCTL_GET_EVENTS, {}, 2 * one - 1);
    EXPECT_EQ(BatchIds(first), std::vector<uint64_t>{d.connectHandle}) << "the second does not fit whole";
    EXPECT_EQ(BatchIds(Call(NFE_IOCTL_GET_EVENTS, {}, kBigBuffer)), std::vector<uint64_t>{e.connectHandle});
}

TEST_F(DeviceControlTest, BatchedAnswersReportEachAndCompleteTogether) {
    StartWith(NfeConfig{});
    const auto a = platform.Connect({}), b = platform.Connect({});
    Drain();
    std::vector<uint8_t> input = NfeEvent::EncodeAnswer(a.connectHandle, NFE_ANSWER_PERMIT);
    const std::vector<uint8_t> unknown = NfeEvent::EncodeAnswer(999, NFE_ANSWER_PERMIT);
    std::vector<uint8_t> badSize = NfeEvent::EncodeAnswer(b.connectHandle, NFE_ANSWER_PERMIT);
    PutU32(&badSize[0], 300);
    const std::vector<uint8_t> late = NfeEvent::EncodeAnswer(b.connectHandle, NFE_ANSWER_PERMIT);
    for (const std::vector<uint8_t>& record : {unknown, badSize, late}) {
        input.insert(input.end(), record.begin(), record.end());
    }

    EXPECT_EQ(Call(NFE_IOCTL_PROCESS_REDIRECTS, input, 15).status, kStatusBufferTooSmall);
    EXPECT_EQ(platform.CompletionCount(), 0u) << "nothing answered when the statuses cannot be told";
    EXPECT_EQ(Call(NFE_IOCTL_PROCESS_REDIRECTS, std::vector<uint8_t>(input.begin(), input.end() - 1), 16).status,
              kStatusInvalidBufferSize);
    EXPECT_EQ(Call(NFE_IOCTL_PROCESS_REDIRECTS, {}, 16).status, kStatusInvalidBufferSize);

    DeviceReply reply = Call(NFE_IOCTL_PROCESS_REDIRECTS, input, 16);
    ASSERT_EQ(reply.status, kStatusSuccess);
    ASSERT_EQ(reply.output.size(), 16u);
    const std::vector<uint32_t> statuses = {GetU32(&reply.output[0]), GetU32(&reply.output[4]),
                                            GetU32(&reply.output[8]), GetU32(&reply.output[12])};
    EXPECT_EQ(statuses, (std::vector<uint32_t>{kStatusSuccess, kStatusNoSuchRedirect, kStatusInvalidParameter1,
                                               kStatusSuccess}));
    EXPECT_EQ(platform.Completions(a.connectHandle).size(), 1u);
    EXPECT_EQ(platform.Completions(b.connectHandle).size(), 1u);
    EXPECT_EQ(platform.BatchedCompletionCount(), 2u);
}

TEST_F(DeviceControlTest, TwoWaitingRequestsAndOneEvent) {
    StartWith(NfeConfig{});
    std::vector<DeviceReply> first, second;
    device->Submit(NFE_IOCTL_GET_EVENT, {}, kBigBuffer, [&](DeviceReply r) { first.push_back(std::move(r)); });
    device->Submit(NFE_IOCTL_GET_EVENT, {}, kBigBuffer, [&](DeviceReply r) { second.push_back(std::move(r)); });
    EXPECT_TRUE(first.empty());
    EXPECT_TRUE(second.empty());

    auto connect = platform.Connect({});
    ASSERT_EQ(first.size(), 1u);
    ASSERT_EQ(second.size(), 1u);
    EXPECT_EQ(first[0].status, kStatusSuccess);
    auto event = NfeEvent::Decode(first[0].output.data(), first[0].output.size());
    ASSERT_TRUE(event);
    EXPECT_EQ(event->redirectRequestId, connect.connectHandle);
    EXPECT_EQ(second[0].status, kStatusSuccess);
    EXPECT_EQ(second[0].information, 0u);
}

TEST_F(DeviceControlTest, DeviceIsExclusiveAndCloseStopsTheEngine) {
    StartWith(TlsCaptureConfig());
    EXPECT_EQ(InProcessEngineDevice::Open(engine), nullptr);
    uint64_t flow = InspectedFlow();
    auto waiting = platform.Connect({});
    Drain();
    std::optional<DeviceReply> held;
    device->Submit(NFE_IOCTL_GET_EVENT, {}, kBigBuffer, [&](DeviceReply r) { held = std::move(r); });

    EXPECT_EQ(platform.RedirectReleaseCount(), 0u);

    device->Close();
    ASSERT_TRUE(held);
    EXPECT_EQ(held->status, kStatusCancelled);
    EXPECT_FALSE(engine.IsActive());
    // The program's redirect targets go with it.
    EXPECT_EQ(platform.RedirectReleaseCount(), 1u);
    // As a requested stop: connects let go, flows released without a disconnect.
    ASSERT_EQ(platform.Completions(waiting.connectHandle).size(), 1u);
    EXPECT_FALSE(platform.Completions(waiting.connectHandle)[0].redirect);
    EXPECT_FALSE(platform.IsInspected(flow));
    EXPECT_TRUE(platform.Injections().empty());

    device = InProcessEngineDevice::Open(engine);
    ASSERT_NE(device, nullptr);
    auto events = Drain();
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back().MessageText(), "RuzOraDadeda stopped.");
    EXPECT_EQ(events.back().messageStatus, 0u);
    EXPECT_EQ(events.back().messageParameter, 2u);
    EXPECT_EQ(events.back().messageSeverity, 1u);
}

TEST_F(DeviceControlTest, StartEmptiesTheQueueAndConfigurationAppliesWhileActive) {
    Configure(NfeConfig{});
    Call(0x120018);  // leaves an error message queued
    ASSERT_EQ(Call(NFE_IOCTL_START).status, kStatusSuccess);
    auto events = Drain();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].MessageText(), "RuzOraDadeda started.");
    EXPECT_EQ(events[0].messageParameter, 1u);
    EXPECT_EQ(events[0].messageSeverity, 1u);

    // Own process left alone until the configuration says otherwise.
    SimConnection own;
    own.processId = 0;
    EXPECT_EQ(platform.Connect(own).action, ConnectAction::kPermit);
    NfeConfig intercepting;
    intercepting.interceptOwnProcess = 1;
    Configure(intercepting);
    EXPECT_EQ(platform.Connect(own).action, ConnectAction::kPend);
}

TEST_F(DeviceControlTest, OnlyConnectsToThePortsAskedForReachTheEngineUntilTheDeviceCloses) {
    StartWith(TlsCaptureConfig());
    SimConnection http;
    SimConnection other;
    other.remote.SetPort(22);
    ASSERT_EQ(platform.Connect(other).action, ConnectAction::kPend) << "every port before the first port rules";
    Drain();

    ASSERT_EQ(Call(NFE_IOCTL_SET_PORT_RULES, NfePortRules::Of({{80, 80}, {443, 443}}).Encode()).status, kStatusSuccess);
    EXPECT_EQ(platform.Connect(other).action, ConnectAction::kPermit);
    EXPECT_EQ(engine.QueuedEventCount(), 0u);
    EXPECT_EQ(platform.PassedConnectCount(), 1u);
    EXPECT_EQ(platform.Connect(http).action, ConnectAction::kPend);

    platform.FailConnectPorts(true);
    EXPECT_EQ(Call(NFE_IOCTL_SET_PORT_RULES, NfePortRules::All().Encode()).status, kStatusUnsuccessful);
    platform.FailConnectPorts(false);

    // The next program may know nothing of port rules: it starts from every port.
    device->Close();
    EXPECT_EQ(platform.ConnectPorts(), NfePortRules::All());
}

}  // namespace
}  // namespace hbt
