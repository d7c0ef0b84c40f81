// The event loop against a scripted device: what the engine does not produce
// on its own (failures, a lost engine, unknown flows and event types).
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>

#include "engine_client/engine_event_loop.h"
#include "engine_protocol/byte_order.h"
#include "engine_protocol/nfe_flow_operation.h"
#include "engine_protocol/nfe_protocol.h"
#include "scripted_device.h"
#include "test_engine_host.h"
#include "tests/log/log_capture.h"

namespace hbt {
namespace {

using namespace std::chrono_literals;

// Cases the engine does not produce on its own come from a scripted device.
class EventLoopScripted : public ::testing::Test {
protected:
    EventLoopScripted()
        : client([this](uint32_t&) {
              auto device = std::make_unique<ScriptedDevice>(&sent);
              std::vector<uint8_t> version{115, 0, 0, 0};
              device->replies = {DeviceReply{kStatusSuccess, 4, version}};
              scripted = device.get();
              return device;
          }),
          loop(host, client, [this](std::chrono::milliseconds duration) { sleeps.push_back(duration); }) {}

    void SetUp() override {
        ASSERT_TRUE(client.NfeOpenDevice());
    }

    static DeviceReply EventReply(const NfeEvent& event) {
        auto bytes = event.Encode();
        return DeviceReply{kStatusSuccess, static_cast<uint32_t>(bytes.size()), bytes};
    }
    static DeviceReply Failure(uint32_t status) { return DeviceReply{status, 0, {}}; }

    LogCapture log;
    TestHost host;
    std::vector<SentRequest> sent;
    ScriptedDevice* scripted = nullptr;
    NfeDeviceClient client;
    std::vector<std::chrono::milliseconds> sleeps;
    CEngineEventLoop loop;
};

TEST_F(EventLoopScripted, UnknownFlowIsClosed) {
    NfeEvent data;
    data.type = NFE_EVENT_STREAM_DATA;
    data.flowId = 99;
    data.streamFlags = NFE_STREAM_FLAG_SEND;
    data.source = *ParseIpAddress("192.0.2.2", 40000);
    data.destination = *ParseIpAddress("192.0.2.1", 443);
    data.data = {1, 2, 3};
    scripted->replies = {EventReply(data), DeviceReply{}};
    sent.clear();
    EXPECT_EQ(loop.Step(), CEngineEventLoop::StepResult::kHandled);
    EXPECT_EQ(log.Lines(), std::vector<std::wstring>{
                               L"FlowId 99 not found, connection closed (192.0.2.2:40000->192.0.2.1:443)"});
    ASSERT_EQ(sent.back().controlCode, NFE_IOCTL_FLOW_OPERATION);
    auto op = NfeFlowOperation::Decode(sent.back().input.data(), sent.back().input.size());
    ASSERT_TRUE(op);
    EXPECT_EQ(op->flowId, 99u);
    EXPECT_EQ(op->streamFlags, 5u);
    EXPECT_TRUE(op->data.empty());
}

// An engine message event; `text` goes with its terminating zero.
NfeEvent MessageEvent(uint32_t severity, uint64_t status, uint64_t parameter, const std::string& text = "") {
    NfeEvent message;
    message.type = NFE_EVENT_MESSAGE;
    message.messageSeverity = severity;
    message.messageStatus = status;
    message.messageParameter = parameter;
    if (!text.empty()) {
        message.data.assign(text.begin(), text.end());
        message.data.push_back(0);
    }
    return message;
}

// A connect-redirect event from 192.0.2.2:40000 to port 80.
NfeEvent ScriptedConnect() {
    NfeEvent connect;
    connect.type = NFE_EVENT_CONNECT_REDIRECT;
    connect.redirectRequestId = 5;
    connect.processId = 42;
    connect.source = *ParseIpAddress("192.0.2.2", 40000);
    connect.destination = *ParseIpAddress("93.184.216.34", 80);
    return connect;
}

DeviceReply Statuses(const std::vector<uint32_t>& statuses) {
    std::vector<uint8_t> bytes(4 * statuses.size());
    for (std::size_t i = 0; i < statuses.size(); ++i) PutU32(&bytes[4 * i], statuses[i]);
    return DeviceReply{kStatusSuccess, static_cast<uint32_t>(bytes.size()), bytes};
}

// The events of one read are answered in one request once the read is used
// up; each answer's result is reported on its own.
TEST_F(EventLoopScripted, EventsOfOneReadAreAnsweredTogether) {
    NfeEvent first = ScriptedConnect(), second = ScriptedConnect();
    second.redirectRequestId = 6;
    second.destination = *ParseIpAddress("198.51.100.7", 80);
    std::vector<uint8_t> batch = first.Encode();
    const std::vector<uint8_t> more = second.Encode();
    batch.insert(batch.end(), more.begin(), more.end());
    scripted->replies = {DeviceReply{kStatusSuccess, static_cast<uint32_t>(batch.size()), batch},
                         Statuses({kStatusSuccess, kStatusNoSuchRedirect})};
    sent.clear();
    EXPECT_EQ(loop.Step(), CEngineEventLoop::StepResult::kHandled);
    EXPECT_EQ(sent.size(), 1u) << "no answer before the read is used up";
    EXPECT_EQ(loop.Step(), CEngineEventLoop::StepResult::kHandledWithError);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].controlCode, NFE_IOCTL_GET_EVENTS);
    EXPECT_EQ(sent[1].controlCode, NFE_IOCTL_PROCESS_REDIRECTS);
    EXPECT_EQ(sent[1].input.size(), 2 * kNfeEventHeaderSize);
    EXPECT_EQ(log.Lines(), (std::vector<std::wstring>{
                               L"192.0.2.2:40000->93.184.216.34:80 (process)",
                               L"ProcessRedirect failed with error DeviceIoControl failed with error 1376"}));
    ASSERT_EQ(host.records.size(), 1u) << "the failed answer's record is withdrawn";
    EXPECT_EQ(host.records[0].destination, first.destination);
}

TEST_F(EventLoopScripted, EngineWithoutBatchesGetsSingleRequests) {
    NfeEvent first = ScriptedConnect(), second = ScriptedConnect();
    second.redirectRequestId = 6;
    scripted->replies = {Failure(kStatusInvalidParameter), EventReply(first), DeviceReply{}};
    sent.clear();
    uint32_t bytes = 0;
    std::vector<uint8_t> buffer(4096);
    ASSERT_TRUE(client.GetEvents(buffer, bytes).Succeeded());
    EXPECT_EQ(bytes, first.EncodedSize());
    std::vector<NfeDriverError> results;
    client.ProcessRedirects({{5, {}, NFE_ANSWER_PERMIT}, {6, {}, NFE_ANSWER_PERMIT}}, results);
    EXPECT_TRUE(results[1].Succeeded());
    std::vector<uint32_t> codes;
    for (const SentRequest& request : sent) codes.push_back(request.controlCode);
    EXPECT_EQ(codes, (std::vector<uint32_t>{NFE_IOCTL_GET_EVENTS, NFE_IOCTL_GET_EVENT, NFE_IOCTL_PROCESS_REDIRECT,
                                            NFE_IOCTL_PROCESS_REDIRECT}));
}

TEST_F(EventLoopScripted, BatchWithABrokenEventIsRefused) {
    std::vector<uint8_t> batch = ScriptedConnect().Encode();
    std::vector<uint8_t> cut = ScriptedConnect().Encode();
    cut.resize(cut.size() - 1);
    batch.insert(batch.end(), cut.begin(), cut.end());
    scripted->replies = {DeviceReply{kStatusSuccess, static_cast<uint32_t>(batch.size()), batch}};
    uint32_t bytes = 0;
    std::vector<uint8_t> buffer(4096);
    EXPECT_EQ(client.GetEvents(buffer, bytes).kind, NfeErrorKind::kWrongByteCount);
}

TEST_F(EventLoopScripted, SecondEngineNotStartedFailureInARowIsLogged) {
    const NfeEvent connect = ScriptedConnect();
    scripted->replies = {EventReply(connect), Failure(kStatusServerDisabled), EventReply(connect),
                         Failure(kStatusServerDisabled)};
    EXPECT_EQ(loop.Step(), CEngineEventLoop::StepResult::kHandledWithError);
    EXPECT_TRUE(log.Lines().empty());
    EXPECT_EQ(loop.Step(), CEngineEventLoop::StepResult::kHandledWithError);
    EXPECT_EQ(log.Lines(), std::vector<std::wstring>{L"ProcessRedirect failed with error DeviceIoControl failed with error 1341"});
}

// A record left behind by a failed redirect would be claimed by the next
// connection from the same client port, and send it to the wrong destination.
TEST_F(EventLoopScripted, FailedRedirectWithdrawsItsRecord) {
    const NfeEvent connect = ScriptedConnect();
    NfeEvent next = connect;
    next.redirectRequestId = 6;
    next.destination = *ParseIpAddress("198.51.100.7", 80);
    scripted->replies = {EventReply(connect), Failure(kStatusUnsuccessful), EventReply(next), DeviceReply{}};
    EXPECT_EQ(loop.Step(), CEngineEventLoop::StepResult::kHandledWithError);
    EXPECT_TRUE(host.records.empty());
    EXPECT_EQ(loop.Step(), CEngineEventLoop::StepResult::kHandled);
    ASSERT_EQ(host.records.size(), 1u);
    EXPECT_EQ(host.records[0].destination, next.destination);
}

TEST_F(EventLoopScripted, FailedReadsBackOffAndSuccessResetsIt) {
    const NfeEvent message = MessageEvent(NFE_SEVERITY_INFORMATION, 0, 1);
    scripted->replies = {Failure(kStatusUnsuccessful), Failure(kStatusUnsuccessful), Failure(kStatusUnsuccessful),
                         Failure(kStatusUnsuccessful), Failure(kStatusUnsuccessful), EventReply(message),
                         Failure(kStatusUnsuccessful)};
    // Once the script is used up, the core stops.
    std::size_t total = scripted->replies.size();
    scripted->onSubmit = [this, total] {
        if (sent.size() > total + 1) host.running = false;  // + the version request
    };
    loop.Run();
    EXPECT_EQ(sleeps, (std::vector<std::chrono::milliseconds>{1s, 2s, 4s, 8s, 8s, 1s}));
    auto lines = log.Lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), L"GetEvent failed with error DeviceIoControl failed with error 31"),
              6);
}

TEST_F(EventLoopScripted, AutomaticStopRestartsTheEngine) {
    NfeEvent stopped = MessageEvent(NFE_SEVERITY_INFORMATION, 1, 2);
    NfeEvent established;
    established.type = NFE_EVENT_FLOW_ESTABLISHED;
    established.flowId = 12;
    host.records.push_back({});
    scripted->replies = {EventReply(established), EventReply(stopped), DeviceReply{}};
    EXPECT_EQ(loop.Step(), CEngineEventLoop::StepResult::kHandled);
    EXPECT_EQ(loop.FlowCount(), 1u);
    sent.clear();
    EXPECT_EQ(loop.Step(), CEngineEventLoop::StepResult::kHandled);
    EXPECT_EQ(loop.FlowCount(), 0u);
    EXPECT_EQ(log.Lines(), std::vector<std::wstring>{L"Network Engine was stopped automatically. Restarting."});
    EXPECT_TRUE(host.records.empty());
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[1].controlCode, NFE_IOCTL_START);

    stopped.messageStatus = 0;
    scripted->replies = {EventReply(stopped)};
    sent.clear();
    EXPECT_EQ(loop.Step(), CEngineEventLoop::StepResult::kHandled);
    EXPECT_EQ(log.Lines(), std::vector<std::wstring>{L"Network Engine stopped."});
    EXPECT_EQ(sent.size(), 1u);
}

// A service manager restarts an engine that died: the read fails once, the
// loop says so once and reopens with growing waits until an engine takes the
// device, then serves the new one.
TEST_F(EventLoopScripted, LostEngineIsReopenedWithBackOffAndServedAgain) {
    NfeEvent established;
    established.type = NFE_EVENT_FLOW_ESTABLISHED;
    established.flowId = 12;
    host.records.push_back({});
    scripted->replies = {EventReply(established), Failure(kStatusCancelled)};
    bool oldDeviceClosed = false;
    int attempts = 0;
    host.reopen = [&] {
        oldDeviceClosed = !client.IsOpen();
        EXPECT_EQ(host.enginesGone, 1);
        EXPECT_TRUE(host.records.empty());
        EXPECT_EQ(loop.FlowCount(), 0u);
        if (++attempts < 7) return false;
        if (!client.NfeOpenDevice()) return false;
        // The new engine holds one connect; the core stops once it is answered.
        scripted->replies = {EventReply(ScriptedConnect()), DeviceReply{}};
        scripted->onSubmit = [this] {
            if (sent.back().controlCode == NFE_IOCTL_PROCESS_REDIRECT) host.running = false;
        };
        return true;
    };
    loop.Run();

    EXPECT_TRUE(oldDeviceClosed);
    EXPECT_EQ(attempts, 7);
    EXPECT_EQ(sleeps, (std::vector<std::chrono::milliseconds>{500ms, 1s, 2s, 4s, 5s, 5s, 5s}));
    EXPECT_EQ(log.Lines(), (std::vector<std::wstring>{
                               L"GetEvent failed with error GetOverlappedResult failed with error 995",
                               L"Network Engine is gone. Protection is off until it is back.",
                               L"Network Engine is back. Protection restored.",
                               L"192.0.2.2:40000->93.184.216.34:80 (process)"}));
    ASSERT_EQ(host.records.size(), 1u);
    EXPECT_EQ(host.records[0].destination, ScriptedConnect().destination);
    EXPECT_EQ(host.enginesGone, 1);
}

TEST_F(EventLoopScripted, StopDuringTheReopenWaitsEndsTheLoop) {
    scripted->replies = {Failure(kStatusCancelled)};
    int attempts = 0;
    host.reopen = [&] { return ++attempts > 100; };
    CEngineEventLoop stopping(host, client, [this](std::chrono::milliseconds duration) {
        sleeps.push_back(duration);
        if (sleeps.size() == 3) host.running = false;  // Stop during the third wait
    });
    stopping.Run();
    EXPECT_EQ(attempts, 2);
    auto lines = log.Lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), L"Network Engine is gone. Protection is off until it is back."), 1);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), L"Network Engine is back. Protection restored."), 0);
}

TEST_F(EventLoopScripted, EngineErrorMessagesAndTheDisplayOffRule) {
    const NfeEvent abandoned = MessageEvent(NFE_SEVERITY_ERROR, 0, 7, "107:Abandoned redirection request detected");
    NfeEvent unknown;
    unknown.type = 9;
    scripted->replies = {EventReply(abandoned), EventReply(abandoned), EventReply(unknown)};
    host.displayOff = true;
    EXPECT_EQ(loop.Step(), CEngineEventLoop::StepResult::kHandled);
    host.displayOff = false;
    EXPECT_EQ(loop.Step(), CEngineEventLoop::StepResult::kHandled);
    EXPECT_EQ(loop.Step(), CEngineEventLoop::StepResult::kHandled);
    EXPECT_EQ(log.Lines(), (std::vector<std::wstring>{
                               L"Event Message: 107:Abandoned redirection request detected. Error=0, Param=7",
                               L"NEGetEvent return unexpected event type: 9"}));
}

}  // namespace
}  // namespace hbt
