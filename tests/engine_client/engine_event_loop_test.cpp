#include "engine_client/engine_event_loop.h"

#include <gtest/gtest.h>

#include <chrono>

#include "HbtEngineDrv/device/in_process_engine_device.h"
#include "HbtEngineDrv/engine/nfe_engine.h"
#include "HbtEngineDrv/platform/sim_platform.h"
#include "engine_protocol/nfe_protocol.h"
#include "test_engine_host.h"
#include "tests/log/log_capture.h"
#include "tests/tls_inspect/hello_builder.h"

namespace hbt {
namespace {

// The real engine on the simulated platform, reached by the program's client
// through the in-process device, with the event loop on top.
class EventLoopOnEngine : public ::testing::Test {
protected:
    EventLoopOnEngine()
        : client([this](uint32_t&) { return InProcessEngineDevice::Open(engine); }),
          loop(host, client, [](std::chrono::milliseconds) {}, [this] { return now; }) {
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
    CRefusalFolding::Clock::time_point now{};  // what the loop measures refusal bursts by
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
    EXPECT_EQ(host.admissionsAsked, 2);
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
        {"proxy full", [](TestHost& h) { h.proxyFull = true; }, ConnectionTo("93.184.216.34", 80), true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        host.preferences = DefaultPreferences();
        host.excluded.clear();
        host.proxyFull = false;
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
    // Only a connect that would have gone to the proxy asks whether it has room.
    EXPECT_EQ(host.admissionsAsked, 1);
}

// Each connect is judged and recorded by its own application, whichever came before it.
TEST_F(EventLoopOnEngine, ConnectsOfApplicationsTakingTurnsAreEachJudgedByTheirOwn) {
    std::wstring message;
    ASSERT_TRUE(host.preferences.SetExcludedApplications(L"tool", message));
    const std::u16string turns[] = {u"/opt/bin/tool", u"/usr/bin/curl", u"/usr/bin/curl", u"/opt/bin/tool", u""};
    for (const std::u16string& path : turns) {
        SCOPED_TRACE(std::string(path.begin(), path.end()));
        host.records.clear();
        auto completion = ConnectAndAnswer(ConnectionTo("93.184.216.34", 80, path));
        ASSERT_TRUE(completion);
        const bool excluded = path == u"/opt/bin/tool";
        EXPECT_EQ(completion->redirect, !excluded);
        ASSERT_EQ(host.records.size(), excluded ? 0u : 1u);
        if (!excluded) {
            EXPECT_EQ(host.records[0].path, std::wstring(path.begin(), path.end()));
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
    EXPECT_EQ(host.admissionsAsked, 0);
}

// The engine holds only what the program may do more with than let go.
TEST(ConnectPortsToHold, HoldExactlyThePortsNotLeftAlone) {
    const struct {
        const char* name;
        const wchar_t* httpPorts;
        bool allTls;
    } cases[] = {
        {"defaults", nullptr, false},
        {"ranges", L"80; 8000-8100; 81", false},
        {"no http ports", L"", false},
        {"tls on all ports", L"80", true},
    };
    const uint16_t ports[] = {1, 25, 79, 80, 81, 82, 88, 443, 3128, 7999, 8000, 8050, 8088, 8089, 8100, 8101, 65535};
    for (const auto& c : cases) {
        TestHost host;
        std::wstring message;
        if (c.httpPorts) {
            ASSERT_TRUE(host.preferences.SetHttpPorts(c.httpPorts, message)) << c.name;
        }
        host.preferences.monitorSslOnAllPorts = c.allTls;
        const NfePortRules held = ConnectPortsToHold(host.preferences);
        Preferences off = host.preferences;
        off.enabled = false;
        EXPECT_EQ(ConnectPortsToHold(off), held) << c.name << ": switching ON needs no new rules";
        for (uint16_t port : ports) {
            const bool acted = DecideConnect(host, *ParseIpAddress("192.0.2.1", port), L"/usr/bin/curl") !=
                               ConnectDecision::kLeaveAlone;
            EXPECT_EQ(held.Holds(port), acted) << c.name << ", port " << port;
        }
    }
}

class TlsFlowOnEngine : public EventLoopOnEngine {
protected:
    uint64_t OpenInspectedFlow(uint16_t localPort = 40000) {
        SimConnection connection = ConnectionTo("192.0.2.1", 443);
        connection.local.SetPort(localPort);
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

// A client that retries a refused connection at once: one line with the
// count and one count in the statistics; a refusal after the window is new.
TEST_F(TlsFlowOnEngine, QuickRetriesOfARefusalAreLoggedAndCountedOnce) {
    host.preferences.allowInsecureIfNoHttps = false;
    host.preferences.allowedSslVersions = {kVersionTls12, kVersionTls13};
    const auto clientHello = test::ClientHello(0x0301, {0x002F}, {test::ServerName("old.example")});
    auto refuse = [&](uint16_t localPort) {
        const uint64_t flow = OpenInspectedFlow(localPort);
        EXPECT_EQ(platform.Segment(flow, NFE_STREAM_FLAG_SEND, clientHello), StreamAction::kBlock);
        EXPECT_EQ(loop.Step(), CEngineEventLoop::StepResult::kHandled);
    };
    for (uint16_t port : {40001, 40002, 40003}) {
        refuse(port);
        now += std::chrono::seconds(1);
    }
    EXPECT_EQ(host.counts[EngineCounter::kTlsFlowsBlocked], 1);
    auto blockLines = [&] {
        std::vector<std::wstring> lines;
        for (const std::wstring& line : log.Lines()) {
            if (line.find(L"(block:") != std::wstring::npos) lines.push_back(line);
        }
        return lines;
    };
    EXPECT_TRUE(blockLines().empty()) << "the burst's window is still open";

    // The next event after the window writes the burst's line.
    now += CRefusalFolding::kWindow;
    ASSERT_TRUE(ConnectAndAnswer(ConnectionTo("93.184.216.34", 80)));
    EXPECT_EQ(blockLines(), std::vector<std::wstring>{L"192.0.2.2:40001->192.0.2.1:443 (old.example) "
                                                      L"(block: insecure TLS 1.0 (SSL 3)) (3 times)"});
    refuse(40004);
    EXPECT_EQ(host.counts[EngineCounter::kTlsFlowsBlocked], 2);
}

}  // namespace
}  // namespace hbt
