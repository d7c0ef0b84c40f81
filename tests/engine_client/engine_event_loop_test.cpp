#include "engine_client/engine_event_loop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>

#include "HbtEngineDrv/device/in_process_engine_device.h"
#include "HbtEngineDrv/engine/nfe_engine.h"
#include "HbtEngineDrv/platform/sim_platform.h"
#include "engine_protocol/nfe_flow_operation.h"
#include "engine_protocol/nfe_protocol.h"
#include "platform/file_settings_store.h"
#include "platform/socket_address.h"
#include "rules/preferences.h"
#include "rules/preferences_storage.h"
#include "scripted_device.h"
#include "tests/log/log_capture.h"
#include "tests/tls_inspect/hello_builder.h"

namespace hbt {
namespace {

using namespace std::chrono_literals;

Preferences DefaultPreferences() {
    FileSettingsStore empty("/nonexistent/harbinet-test/Harbinet.conf");
    Preferences preferences;
    LoadPreferences(empty, preferences);
    preferences.enabled = true;
    return preferences;
}

// The core's side of the loop, as far as the loop sees it.
class TestHost : public EngineEventHost {
public:
    struct Record {
        SocketAddressSlot client, destination;
        uint32_t processId;
        std::wstring path;
        uint64_t id;
    };

    Preferences preferences = DefaultPreferences();
    std::atomic<bool> running{true};
    std::vector<Record> records;
    std::vector<SocketAddressSlot> excluded;
    std::map<EngineCounter, int> counts;
    bool displayOff = false;
    int enginesGone = 0;
    std::function<bool()> reopen = [] { return false; };
    uint64_t lastId = 0;
    SocketAddressSlot proxy4 = *ParseIpAddress("127.0.0.1", 31001);
    SocketAddressSlot proxy6 = *ParseIpAddress("::1", 31002);

    bool IsRunning() const override { return running; }
    std::shared_ptr<const Preferences> PreferencesSnapshot() const override {
        return std::make_shared<const Preferences>(preferences);
    }
    bool IsTemporarilyExcluded(const SocketAddressSlot& destination) const override {
        for (const auto& e : excluded) {
            if (e.SameAddress(destination)) return true;
        }
        return false;
    }
    uint64_t AppendRedirectRecord(const SocketAddressSlot& client, const SocketAddressSlot& destination,
                                  uint32_t processId, const std::wstring& path) override {
        records.push_back({client, destination, processId, path, ++lastId});
        return lastId;
    }
    void WithdrawRedirectRecord(uint64_t id) override {
        std::erase_if(records, [id](const Record& record) { return record.id == id; });
    }
    void ClearRedirectRecords() override { records.clear(); }
    SocketAddressSlot ProxyAddress(bool ipv6) const override { return ipv6 ? proxy6 : proxy4; }
    void Count(EngineCounter counter) override { ++counts[counter]; }
    bool DisplayOff() const override { return displayOff; }
    void EngineGone() override { ++enginesGone; }
    bool ReopenEngine() override { return reopen(); }
};

// The real engine on the simulated platform, reached by the program's client
// through the in-process device, with the event loop on top.
class EventLoopOnEngine : public ::testing::Test {
protected:
    EventLoopOnEngine()
        : client([this](uint32_t&) { return InProcessEngineDevice::Open(engine); }),
          loop(host, client, [](std::chrono::milliseconds) {}) {
        platform.Attach(engine);
    }

    void SetUp() override {
        ASSERT_TRUE(client.NfeOpenDevice());
        ASSERT_TRUE(client.SetConfig(77, {{0x16, 0x03}}, {{0xFF, 0xFF}}).Succeeded());
        ASSERT_TRUE(client.Start().Succeeded());
        ASSERT_EQ(loop.Step(), CEngineEventLoop::StepResult::kHandled);  // "RuzOraDadeda started."
        EXPECT_EQ(log.Lines(), std::vector<std::wstring>{L"Network Engine started."});
    }

    // Connects and lets the loop answer; returns the completion of the held connect.
    std::optional<ConnectCompletion> ConnectAndAnswer(const SimConnection& connection) {
        auto result = platform.Connect(connection);
        if (result.action != ConnectAction::kPend) return std::nullopt;
        EXPECT_EQ(loop.Step(), CEngineEventLoop::StepResult::kHandled);
        auto completions = platform.Completions(result.connectHandle);
        EXPECT_EQ(completions.size(), 1u);
        if (completions.empty()) return std::nullopt;
        return completions[0];
    }

    LogCapture log;
    SimPlatform platform;
    NfeEngine engine{platform};
    TestHost host;
    NfeDeviceClient client;
    CEngineEventLoop loop;
};

SimConnection ConnectionTo(const char* address, uint16_t port, std::u16string path = u"/usr/bin/curl") {
    SimConnection c;
    c.remote = *ParseIpAddress(address, port);
    c.local = c.remote.IsIpv6() ? *ParseIpAddress("2001:db8::2", 40000) : *ParseIpAddress("192.0.2.2", 40000);
    c.applicationPath = std::move(path);
    return c;
}

TEST_F(EventLoopOnEngine, HttpConnectIsRedirectedToTheProxyOfItsFamily) {
    auto completion = ConnectAndAnswer(ConnectionTo("93.184.216.34", 80));
    ASSERT_TRUE(completion);
    EXPECT_TRUE(completion->redirect);
    EXPECT_EQ(completion->newRemote, host.proxy4);
    ASSERT_EQ(host.records.size(), 1u);
    EXPECT_EQ(SocketAddressText(host.records[0].destination), "93.184.216.34:80");
    EXPECT_EQ(SocketAddressText(host.records[0].client), "192.0.2.2:40000");
    EXPECT_EQ(host.records[0].processId, 4242u);
    EXPECT_EQ(host.records[0].path, L"/usr/bin/curl");
    EXPECT_EQ(log.Lines(), std::vector<std::wstring>{L"192.0.2.2:40000->93.184.216.34:80 (process)"});
    EXPECT_EQ(host.counts[EngineCounter::kConnectionsToProxy], 1);

    completion = ConnectAndAnswer(ConnectionTo("2001:db8::1", 8080));
    ASSERT_TRUE(completion);
    EXPECT_EQ(completion->newRemote, host.proxy6);
    EXPECT_EQ(log.Lines(), std::vector<std::wstring>{L"[2001:db8::2]:40000->[2001:db8::1]:8080 (process)"});
}

TEST_F(EventLoopOnEngine, ConnectsThatAreLeftAlone) {
    struct Case {
        const char* name;
        std::function<void(TestHost&)> setup;
        SimConnection connection;
        bool logged;
    };
    const Case cases[] = {
        {"off", [](TestHost& h) { h.preferences.enabled = false; }, ConnectionTo("93.184.216.34", 80), true},
        {"excluded range",
         [](TestHost& h) {
             std::wstring m;
             ASSERT_TRUE(h.preferences.SetExcludedHosts(L"93.184.216.0-93.184.216.255", m));
         },
         ConnectionTo("93.184.216.34", 80), true},
        {"temporary exclusion", [](TestHost& h) { h.excluded.push_back(*ParseIpAddress("93.184.216.34", 0)); },
         ConnectionTo("93.184.216.34", 80), true},
        {"excluded application",
         [](TestHost& h) {
             std::wstring m;
             ASSERT_TRUE(h.preferences.SetExcludedApplications(L"tool", m));
         },
         ConnectionTo("93.184.216.34", 80, u"/opt/bin/TOOL"), true},
        {"other port", [](TestHost&) {}, ConnectionTo("93.184.216.34", 25), true},
        {"loopback", [](TestHost&) {}, ConnectionTo("127.0.0.1", 80), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        host.preferences = DefaultPreferences();
        host.excluded.clear();
        c.setup(host);
        auto completion = ConnectAndAnswer(c.connection);
        ASSERT_TRUE(completion);
        EXPECT_FALSE(completion->redirect);
        EXPECT_TRUE(host.records.empty());
        auto lines = log.Lines();
        if (c.logged) {
            ASSERT_EQ(lines.size(), 1u);
            EXPECT_NE(lines[0].find(L" (bypass)"), std::wstring::npos) << lines[0];
        } else {
            EXPECT_TRUE(lines.empty());
        }
    }
}

TEST_F(EventLoopOnEngine, TlsPortsAreInspected) {
    for (bool allPorts : {false, true}) {
        host.preferences.monitorSslOnAllPorts = allPorts;
        auto https = platform.Connect(ConnectionTo("192.0.2.1", 443));
        ASSERT_EQ(loop.Step(), CEngineEventLoop::StepResult::kHandled);
        auto other = platform.Connect(ConnectionTo("192.0.2.1", 8443));
        ASSERT_EQ(loop.Step(), CEngineEventLoop::StepResult::kHandled);
        auto establishedHttps = platform.Establish(ConnectionTo("192.0.2.1", 443), https.endpointHandle);
        auto establishedOther = platform.Establish(ConnectionTo("192.0.2.1", 8443), other.endpointHandle);
        EXPECT_TRUE(platform.IsInspected(establishedHttps));
        EXPECT_EQ(platform.IsInspected(establishedOther), allPorts);
        while (engine.QueuedEventCount() > 0) loop.Step();
    }
    EXPECT_TRUE(host.records.empty());
}

class TlsFlowOnEngine : public EventLoopOnEngine {
protected:
    uint64_t OpenInspectedFlow() {
        const SimConnection connection = ConnectionTo("192.0.2.1", 443);
        auto held = platform.Connect(connection);
        EXPECT_EQ(loop.Step(), CEngineEventLoop::StepResult::kHandled);
        uint64_t flow = platform.Establish(connection, held.endpointHandle);
        EXPECT_EQ(loop.Step(), CEngineEventLoop::StepResult::kHandled);  // flow established
        log.Lines();
        return flow;
    }
};

TEST_F(TlsFlowOnEngine, PassingHellosAreReleasedWithTheBytesInjectedInOrder) {
    const auto clientHello = test::ClientHello(0x0303, {0xC02F}, {test::ServerName("example.com")});
    const auto serverHello = test::ServerHello(0x0303, 0xC02F);
    uint64_t flow = OpenInspectedFlow();

    EXPECT_EQ(platform.Segment(flow, NFE_STREAM_FLAG_SEND, clientHello), StreamAction::kBlock);
    ASSERT_EQ(loop.Step(), CEngineEventLoop::StepResult::kHandled);
    EXPECT_EQ(platform.Segment(flow, NFE_STREAM_FLAG_RECEIVE, serverHello), StreamAction::kBlock);
    ASSERT_EQ(loop.Step(), CEngineEventLoop::StepResult::kHandled);

    auto injections = platform.Injections();
    ASSERT_EQ(injections.size(), 2u);
    EXPECT_EQ(injections[0].streamFlags, NFE_STREAM_FLAG_SEND);
    EXPECT_EQ(injections[0].data, clientHello);
    EXPECT_EQ(injections[1].streamFlags, NFE_STREAM_FLAG_RECEIVE);
    EXPECT_EQ(injections[1].data, serverHello);
    // Released: later data runs on without reaching the program.
    EXPECT_NE(platform.Segment(flow, NFE_STREAM_FLAG_RECEIVE, {0x17, 0x03, 0x03}), StreamAction::kBlock);
    // The engine reports the released flow as ended; the loop forgets it.
    const auto streamEventsBefore = host.counts[EngineCounter::kStreamDataEvents];
    while (engine.QueuedEventCount() > 0) ASSERT_EQ(loop.Step(), CEngineEventLoop::StepResult::kHandled);
    EXPECT_EQ(host.counts[EngineCounter::kStreamDataEvents], streamEventsBefore);
    EXPECT_EQ(loop.FlowCount(), 0u);
    EXPECT_EQ(host.counts[EngineCounter::kTlsFlowsReleased], 1);
    EXPECT_EQ(host.counts[EngineCounter::kTlsFlowsBlocked], 0);
}

TEST_F(TlsFlowOnEngine, DisallowedVersionIsClosedWithTheAlertDeliveredIn) {
    host.preferences.allowInsecureIfNoHttps = false;  // the TLS policy applies in Strict Mode
    host.preferences.allowedSslVersions = {kVersionTls12, kVersionTls13};
    const auto clientHello = test::ClientHello(0x0301, {0x002F}, {}, false);
    uint64_t flow = OpenInspectedFlow();

    EXPECT_EQ(platform.Segment(flow, NFE_STREAM_FLAG_SEND, clientHello), StreamAction::kBlock);
    ASSERT_EQ(loop.Step(), CEngineEventLoop::StepResult::kHandled);

    auto injections = platform.Injections();
    ASSERT_GE(injections.size(), 1u);
    EXPECT_EQ(injections[0].streamFlags, NFE_STREAM_FLAG_RECEIVE);
    EXPECT_EQ(injections[0].data, (std::vector<uint8_t>{0x15, 0x03, 0x01, 0x00, 0x02, 0x02, 0x28}));
    for (const auto& injection : injections) EXPECT_NE(injection.data, clientHello) << "the hello must not go out";
    EXPECT_EQ(host.counts[EngineCounter::kTlsFlowsBlocked], 1);
}

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
    NfeEvent message;
    message.type = NFE_EVENT_MESSAGE;
    message.messageSeverity = NFE_SEVERITY_INFORMATION;
    message.messageParameter = 1;
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
    NfeEvent stopped;
    stopped.type = NFE_EVENT_MESSAGE;
    stopped.messageSeverity = NFE_SEVERITY_INFORMATION;
    stopped.messageParameter = 2;
    stopped.messageStatus = 1;
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
    NfeEvent abandoned;
    abandoned.type = NFE_EVENT_MESSAGE;
    abandoned.messageSeverity = NFE_SEVERITY_ERROR;
    abandoned.messageStatus = 0;
    abandoned.messageParameter = 7;
    const std::string text = "107:Abandoned redirection request detected";
    abandoned.data.assign(text.begin(), text.end());
    abandoned.data.push_back(0);
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
