#pragma once
// A started engine on SimPlatform, reached through the in-process device.
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "HbtEngineDrv/device/in_process_engine_device.h"
#include "HbtEngineDrv/engine/nfe_engine.h"
#include "HbtEngineDrv/platform/sim_platform.h"
#include "engine_protocol/nfe_config.h"
#include "engine_protocol/nfe_event.h"
#include "engine_protocol/nfe_flow_operation.h"
#include "engine_protocol/nfe_protocol.h"

namespace hbt {

inline constexpr uint64_t kSecond = 10000000;
inline constexpr uint32_t kBigBuffer = 2000000;

class EngineFixture : public ::testing::Test {
protected:
    EngineFixture() {
        platform.Attach(engine);
        device = InProcessEngineDevice::Open(engine);
    }

    // A request that completes at once.
    DeviceReply Call(uint32_t code, const std::vector<uint8_t>& input = {}, uint32_t capacity = 0) {
        std::optional<DeviceReply> reply;
        device->Submit(code, input, capacity, [&](DeviceReply r) { reply = std::move(r); });
        EXPECT_TRUE(reply.has_value()) << "request did not complete at once";
        return reply.value_or(DeviceReply{0xFFFFFFFF, 0, {}});
    }

    void Configure(const NfeConfig& c) { ASSERT_EQ(Call(NFE_IOCTL_SET_CONFIG, c.Encode()).status, kStatusSuccess); }

    // Configured with the given config and started, with the start message read.
    void StartWith(const NfeConfig& c) {
        Configure(c);
        ASSERT_EQ(Call(NFE_IOCTL_START).status, kStatusSuccess);
        auto started = NextEvent();
        ASSERT_TRUE(started);
        ASSERT_EQ(started->MessageText(), "RuzOraDadeda started.");
    }

    static NfeConfig TlsCaptureConfig() {
        NfeConfig c;
        c.processId = 77;
        c.AppendCapturePattern({0x16, 0x03}, {0xFF, 0xFF});
        c.AppendCapturePattern({'G', 'E', 'T', ' '}, {0xFF, 0xFF, 0xFF, 0xFF});
        return c;
    }

    std::optional<NfeEvent> NextEvent() {
        std::optional<DeviceReply> reply;
        device->Submit(NFE_IOCTL_GET_EVENT, {}, kBigBuffer, [&](DeviceReply r) { reply = std::move(r); });
        if (!reply || reply->status != kStatusSuccess || reply->output.empty()) return std::nullopt;
        EXPECT_EQ(reply->information, reply->output.size());
        return NfeEvent::Decode(reply->output.data(), reply->output.size());
    }

    // Reads every queued event (stops before waiting).
    std::vector<NfeEvent> Drain() {
        std::vector<NfeEvent> events;
        while (engine.QueuedEventCount() > 0) {
            auto e = NextEvent();
            if (!e) break;
            events.push_back(std::move(*e));
        }
        return events;
    }

    static std::vector<std::string> Texts(const std::vector<NfeEvent>& events) {
        std::vector<std::string> texts;
        for (const auto& e : events) {
            if (e.type == NFE_EVENT_MESSAGE) texts.push_back(e.MessageText());
        }
        return texts;
    }

    uint32_t Answer(uint64_t id, uint32_t flags, const SocketAddressSlot& dest = {}) {
        return Call(NFE_IOCTL_PROCESS_REDIRECT, NfeEvent::EncodeAnswer(id, flags, dest)).status;
    }

    uint32_t FlowOp(uint64_t flowId, uint32_t op, uint32_t flags, std::vector<uint8_t> data = {}) {
        NfeFlowOperation o;
        o.flowId = flowId;
        o.operation = op;
        o.streamFlags = flags;
        o.data = std::move(data);
        return Call(NFE_IOCTL_FLOW_OPERATION, o.Encode()).status;
    }

    // A connect answered with inspect and established: returns its flow id.
    uint64_t InspectedFlow(const SimConnection& c = {}) {
        auto connect = platform.Connect(c);
        EXPECT_EQ(connect.action, ConnectAction::kPend);
        EXPECT_EQ(Answer(connect.connectHandle, NFE_ANSWER_PERMIT | NFE_ANSWER_INSPECT), kStatusSuccess);
        uint64_t flow = platform.Establish(c, connect.endpointHandle);
        EXPECT_TRUE(platform.IsInspected(flow));
        return flow;
    }

    SimPlatform platform;
    NfeEngine engine{platform};
    std::unique_ptr<InProcessEngineDevice> device;
};

inline std::vector<uint8_t> Bytes(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }

}  // namespace hbt
