#include "engine_client/nfe_device_client.h"

#include <gtest/gtest.h>

#include "engine_protocol/byte_order.h"
#include "engine_protocol/nfe_config.h"
#include "engine_protocol/nfe_event.h"
#include "engine_protocol/nfe_flow_operation.h"
#include "engine_protocol/nfe_protocol.h"
#include "log/log_queue.h"
#include "scripted_device.h"
#include "tests/log/log_capture.h"

namespace hbt {
namespace {

DeviceReply Ok(std::vector<uint8_t> output = {}) {
    DeviceReply reply;
    reply.information = static_cast<uint32_t>(output.size());
    reply.output = std::move(output);
    return reply;
}

DeviceReply Fail(uint32_t status, uint32_t information = 0) { return DeviceReply{status, information, {}}; }

std::vector<uint8_t> VersionBytes(uint32_t version) {
    std::vector<uint8_t> out(4);
    PutU32(out.data(), version);
    return out;
}

class DeviceClientTest : public ::testing::Test {
protected:
    // A client whose device is opened on the first NfeOpenDevice with the given replies.
    std::unique_ptr<NfeDeviceClient> MakeClient(std::deque<DeviceReply> replies) {
        return std::make_unique<NfeDeviceClient>([this, replies](uint32_t&) {
            auto device = std::make_unique<ScriptedDevice>(&sent_);
            device->replies = replies;
            return device;
        });
    }

    std::vector<std::wstring> Lines() { return log_.Lines(); }

    LogCapture log_;
    std::vector<SentRequest> sent_;
};

TEST_F(DeviceClientTest, OpenChecksTheEngineVersion) {
    struct Case {
        std::deque<DeviceReply> replies;
        bool opened;
        std::vector<std::wstring> lines;
    };
    const Case cases[] = {
        {{Ok(VersionBytes(115))}, true, {}},
        {{Ok(VersionBytes(114))}, false, {L"Driver version must be 115", L"Please reinstall Harbinet"}},
        {{Ok({1, 2})},
         false,
         {L"GetDriverVersion failed with error Incorrect number of bytes returned",
          L"If the problem persists please reinstall Harbinet"}},
        {{Fail(kStatusServerDisabled)},
         false,
         {L"GetDriverVersion failed with error DeviceIoControl failed with error 1341",
          L"If the problem persists please reinstall Harbinet"}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(MakeClient(c.replies)->NfeOpenDevice(), c.opened);
        EXPECT_EQ(Lines(), c.lines);
    }
    NfeDeviceClient missing([](uint32_t& error) {
        error = 2;
        return nullptr;
    });
    EXPECT_FALSE(missing.NfeOpenDevice());
    EXPECT_EQ(Lines(), (std::vector<std::wstring>{L"NfeOpenDevice failed with error CreateFileW failed with error 2",
                                                  L"If the problem persists please reinstall Harbinet"}));
    // While a restarted engine is not up yet, its absence is expected and not logged.
    EXPECT_FALSE(missing.NfeOpenDevice(AbsentEngineLog::kQuiet));
    EXPECT_TRUE(Lines().empty());
}

TEST_F(DeviceClientTest, SetConfigLaysOutPatternsAndRefusesBadListsLocally) {
    auto clientPtr = MakeClient({Ok(VersionBytes(115))});
    NfeDeviceClient& client = *clientPtr;
    ASSERT_TRUE(client.NfeOpenDevice());
    sent_.clear();

    ASSERT_TRUE(client.SetConfig(4242, {{0x16, 0x03}, {'G'}}, {{0xff, 0xfe}, {0xff}}).Succeeded());
    ASSERT_EQ(sent_.size(), 1u);
    EXPECT_EQ(sent_[0].controlCode, NFE_IOCTL_SET_CONFIG);
    ASSERT_EQ(sent_[0].input.size(), kNfeConfigSize);
    const uint8_t* record = sent_[0].input.data();
    EXPECT_EQ(GetU32(record), kNfeConfigSize);
    EXPECT_EQ(GetU32(record + 4), 4242u);
    EXPECT_EQ(GetU16(record + 8), 0u);
    EXPECT_EQ(GetU32(record + 12), 5u);
    const std::vector<uint8_t> patterns(record + 51044, record + 51044 + 6);
    const std::vector<uint8_t> masks(record + 51144, record + 51144 + 6);
    EXPECT_EQ(patterns, (std::vector<uint8_t>{2, 0x16, 0x03, 1, 'G', 0}));
    EXPECT_EQ(masks, (std::vector<uint8_t>{2, 0xff, 0xfe, 1, 0xff, 0}));

    struct Refusal {
        std::vector<std::vector<uint8_t>> patterns, masks;
        NfeErrorKind kind;
        std::string message;
    };
    const Refusal refusals[] = {
        {{{1}}, {}, NfeErrorKind::kMaskMismatch, "Mask size does not match"},
        {{std::vector<uint8_t>(3)}, {std::vector<uint8_t>(2)}, NfeErrorKind::kMaskMismatch,
         "Mask does not match the pattern"},
        {{std::vector<uint8_t>(256)}, {std::vector<uint8_t>(256)}, NfeErrorKind::kPatternTooBig, "Pattern is too big"},
        {{std::vector<uint8_t>(40), std::vector<uint8_t>(40), std::vector<uint8_t>(20)},
         {std::vector<uint8_t>(40), std::vector<uint8_t>(40), std::vector<uint8_t>(20)},
         NfeErrorKind::kPatternsTooBig,
         "Patterns are too big"},
    };
    sent_.clear();
    for (const Refusal& r : refusals) {
        NfeDriverError error = client.SetConfig(1, r.patterns, r.masks);
        EXPECT_EQ(error.kind, r.kind);
        EXPECT_EQ(error.message, r.message);
    }
    EXPECT_TRUE(sent_.empty());
}

TEST_F(DeviceClientTest, GetEventGrowsItsBufferOnceAndChecksTheRecord) {
    NfeEvent event;
    event.type = NFE_EVENT_STREAM_DATA;
    event.data.assign(1000, 0xAB);
    const std::vector<uint8_t> encoded = event.Encode();  // 1304 bytes

    auto clientPtr = MakeClient({Ok(VersionBytes(115)), Fail(kStatusBufferTooSmall, 1304), Ok(encoded),
                                         Ok({})});
    NfeDeviceClient& client = *clientPtr;
    ASSERT_TRUE(client.NfeOpenDevice());
    std::vector<uint8_t> buffer(304);
    uint32_t bytes = 0;
    ASSERT_TRUE(client.GetEvent(buffer, bytes).Succeeded());
    EXPECT_EQ(bytes, 1304u);
    EXPECT_EQ(buffer.size(), 1304u);
    EXPECT_EQ(buffer, encoded);
    EXPECT_EQ(sent_.back().outputCapacity, 1304u);

    EXPECT_EQ(client.GetEvent(buffer, bytes).kind, NfeErrorKind::kNoEvent);
    EXPECT_EQ(buffer.size(), 1304u);  // never shrinks
}

TEST_F(DeviceClientTest, GetEventRejectsMalformedRecords) {
    std::vector<uint8_t> wrongHeader(304);
    PutU32(wrongHeader.data(), 300);
    std::vector<uint8_t> wrongData(310);
    PutU32(wrongData.data(), 304);
    PutU32(wrongData.data() + 24, 4);
    struct Case {
        DeviceReply reply;
        NfeErrorKind kind;
        std::string message;
    };
    const Case cases[] = {
        {Ok(std::vector<uint8_t>(100)), NfeErrorKind::kWrongByteCount, "Incorrect number of bytes returned"},
        {Ok(wrongHeader), NfeErrorKind::kWrongHeaderSize, "Incorrect size returned 300 (must be 304)"},
        {Ok(wrongData), NfeErrorKind::kWrongDataSize, "Incorrect data size returned 4 (must be 6)"},
        {Fail(kStatusCancelled), NfeErrorKind::kWaitFailed, "GetOverlappedResult failed with error 995"},
        // A size needed beyond any event is refused, not allocated.
        {Fail(kStatusBufferTooSmall, 0xFFFFFFFF), NfeErrorKind::kWrongByteCount, "Incorrect number of bytes returned"},
    };
    for (const Case& c : cases) {
        auto clientPtr = MakeClient({Ok(VersionBytes(115)), c.reply});
    NfeDeviceClient& client = *clientPtr;
        ASSERT_TRUE(client.NfeOpenDevice());
        std::vector<uint8_t> buffer(1000);
        uint32_t bytes = 0;
        NfeDriverError error = client.GetEvent(buffer, bytes);
        EXPECT_EQ(error.kind, c.kind);
        EXPECT_EQ(error.message, c.message);
    }
}

TEST_F(DeviceClientTest, RedirectAnswersAndFlowOperations) {
    auto clientPtr = MakeClient({Ok(VersionBytes(115))});
    NfeDeviceClient& client = *clientPtr;
    ASSERT_TRUE(client.NfeOpenDevice());
    sent_.clear();

    EXPECT_EQ(client.ProcessRedirect(0, 0, {}, 2).message, "Incorrect input parameters");
    EXPECT_EQ(client.FlowOperation(1, 0, 3, 0, {}).message, "Incorrect input parameters");
    EXPECT_TRUE(sent_.empty());

    std::array<uint8_t, 16> loop6{};
    loop6[15] = 1;
    ASSERT_TRUE(client.ProcessRedirect(7, 1, SocketAddressSlot::Ipv6(loop6, 5555, 0, 9), 2).Succeeded());
    const auto& answer = sent_.back().input;
    ASSERT_EQ(answer.size(), 304u);
    EXPECT_EQ(GetU32(answer.data()), 304u);
    EXPECT_EQ(GetU64(answer.data() + 184), (uint64_t{1} << 32) | 7);
    EXPECT_EQ(GetU32(answer.data() + 204), 2u);
    EXPECT_EQ(SocketAddressSlot::FromBytes(answer.data() + 276), SocketAddressSlot::Ipv6(loop6, 5555, 0, 9));

    NfeEvent flow;
    flow.flowId = 77;
    ASSERT_TRUE(client.InjectIn(flow, "d", L"/usr/bin/curl", {1, 2, 3}));
    auto op = NfeFlowOperation::Decode(sent_.back().input.data(), sent_.back().input.size());
    ASSERT_TRUE(op);
    EXPECT_EQ(op->flowId, 77u);
    EXPECT_EQ(op->operation, NFE_FLOW_INJECT);
    EXPECT_EQ(op->streamFlags, NFE_STREAM_FLAG_RECEIVE);
    EXPECT_EQ(op->data, (std::vector<uint8_t>{1, 2, 3}));
}

TEST_F(DeviceClientTest, FlowWrappersLogTheirFailures) {
    auto clientPtr = MakeClient({Ok(VersionBytes(115)), Fail(kStatusNotFound), Fail(kStatusNotFound),
                                         Fail(kStatusNotFound), Fail(kStatusNotFound), Fail(kStatusNotFound)});
    NfeDeviceClient& client = *clientPtr;
    ASSERT_TRUE(client.NfeOpenDevice());
    NfeEvent flow;
    flow.flowId = 5000000000ull;
    flow.processId = 42;
    EXPECT_FALSE(client.DetachFlow(flow, "1.2.3.4:5->6.7.8.9:443", L"/usr/bin/curl"));
    EXPECT_FALSE(client.CloseFlow(flow, "", L"/usr/bin/curl"));
    EXPECT_FALSE(client.InjectOut(flow, "d", L"/usr/bin/curl", {1}));
    EXPECT_FALSE(client.InjectIn(flow, "d", L"/usr/bin/curl", {1}));
    EXPECT_FALSE(client.Reinject(flow, "d", L"/usr/bin/curl", 65540, {1}));
    const std::string tail = " with error: DeviceIoControl failed with error 1168";
    auto records = LogQueue::Instance().TakeAll();
    ASSERT_EQ(records.size(), 5u);
    EXPECT_EQ(records[0].message, L"1.2.3.4:5->6.7.8.9:443 Could not detach from flow 5000000000" +
                                      std::wstring(tail.begin(), tail.end()));
    EXPECT_EQ(records[0].screenPrefix, L"curl (42)");
    EXPECT_EQ(records[1].message.substr(0, 30), L" Could not close flow 50000000");
    EXPECT_EQ(records[2].message.substr(0, 38), L"d Could not inject data out to flow 50");
    EXPECT_EQ(records[3].message.substr(0, 36), L"d Could not inject data in to flow 5");
    EXPECT_EQ(records[4].message.substr(0, 51), L"d Could not reinject data to flow 5000000000/65540 ");
}

TEST(Win32Errors, EngineStatusesTranslateAsThePlatformDoes) {
    EXPECT_EQ(Win32ErrorFromStatus(kStatusBufferTooSmall), 122u);
    EXPECT_EQ(Win32ErrorFromStatus(kStatusServerDisabled), 1341u);
    EXPECT_EQ(Win32ErrorFromStatus(kStatusAccessDenied), 5u);
    EXPECT_EQ(Win32ErrorFromStatus(kStatusInvalidParameter), 87u);
    EXPECT_EQ(Win32ErrorFromStatus(kStatusCancelled), 995u);
}

}  // namespace
}  // namespace hbt
