// The core's listeners and dispatch on real loopback sockets: records found
// by peer address, the connection limit, the HTTPS checker asked, log lines,
// and Stop.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <thread>

#include "core/hbt_core.h"
#include "https_check/https_checker.h"
#include "platform/safe_socket.h"
#include "log/log_queue.h"
#include "text/text_conversion.h"
#include "tests/core/fake_nat.h"
#include "tests/http/loopback.h"
#include "tests/https_check/test_server.h"
#include "tests/log/log_test_fixture.h"

namespace hbt {
namespace {

using test::SendText;

// A tunnel request passes through whatever the preferences say.
constexpr char kTunnel[] = "CONNECT h.example:443 HTTP/1.1\r\nHost: h.example:443\r\n\r\n";

class CoreDispatchTest : public LogTest {
protected:
    void SetUp() override {
        LogTest::SetUp();
        core_.SetOriginalDestinationLookup(nat_.Lookup());
        std::wstring fatal;
        ASSERT_TRUE(core_.OpenProxyListeners(fatal)) << WideToUtf8(fatal);
        ASSERT_TRUE(core_.OpenControlListener(fatal)) << WideToUtf8(fatal);
        acceptLoop_ = std::thread([this] { core_.AcceptConnections(core_.Ipv4Listener()); });
        // A machine without IPv6 has no IPv6 listener; that loop then ends at once.
        ipv6AcceptLoop_ = std::thread([this] { core_.AcceptConnections(core_.Ipv6Listener()); });
    }
    void TearDown() override {
        StopCore();
        LogTest::TearDown();
    }
    void StopCore() {
        if (!acceptLoop_.joinable()) return;
        core_.Stop();
        acceptLoop_.join();
        ipv6AcceptLoop_.join();
    }

    // A client on a port of its own with a wildcard record sending it to `destination`.
    std::shared_ptr<CSafeSocket> RedirectedClient(const SocketAddressSlot& destination, uint32_t pid = 77) {
        auto client = test::BoundClient(test::Loopback4());
        const uint16_t port = test::BoundAddress(*client).Port();
        core_.AddRedirectRecord({*ParseIpAddress("0.0.0.0", port), destination, pid, L"/usr/bin/app"});
        nat_.Redirect(port, destination);
        EXPECT_TRUE(ConnectSocket(client->Handle(), core_.Ipv4ProxyAddress()));
        return client;
    }

    // Log lines as level and message, in order.
    std::vector<std::pair<int, std::wstring>> Lines() {
        std::vector<std::pair<int, std::wstring>> lines;
        for (const LogRecord& record : LogQueue::Instance().TakeAll()) lines.emplace_back(record.level, record.message);
        return lines;
    }
    bool HasLine(const std::vector<std::pair<int, std::wstring>>& lines, int level, const std::string& text) {
        return std::find(lines.begin(), lines.end(), std::make_pair(level, Utf8ToWide(text))) != lines.end();
    }

    template <typename Predicate>
    static bool Eventually(Predicate predicate) {
        for (int i = 0; i < 500; ++i) {
            if (predicate()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return predicate();
    }

    test::FakeNat nat_;  // outlives the core
    CHbtCore core_;
    std::thread acceptLoop_;
    std::thread ipv6AcceptLoop_;
};

TEST_F(CoreDispatchTest, ListenersOnSystemChosenLoopbackPorts) {
    EXPECT_EQ(IpAddressText(core_.Ipv4ProxyAddress()), "127.0.0.1");
    EXPECT_NE(core_.Ipv4ProxyAddress().Port(), 0);
    EXPECT_EQ(core_.Ipv4ProxyAddress(), test::BoundAddress(*core_.Ipv4Listener()));
    if (core_.Ipv6Listener()) {
        EXPECT_EQ(SocketAddressText(core_.Ipv6ProxyAddress()).rfind("[::1]:", 0), 0u);
    }
    EXPECT_EQ(core_.ControlPortHostOrder(), test::BoundAddress(*core_.ControlListener()).Port());

    CHbtCore second;
    std::wstring fatal;
    ASSERT_TRUE(second.OpenProxyListeners(fatal));
    EXPECT_NE(second.Ipv4ProxyAddress().Port(), core_.Ipv4ProxyAddress().Port());
}

TEST_F(CoreDispatchTest, RecordedConnectionReachesItsDestination) {
    test::RecordingServer server;
    auto client = RedirectedClient(server.Address());
    SendText(*client, std::string(kTunnel) + "tunnelled");
    ::shutdown(static_cast<int>(client->Handle()), SHUT_WR);
    ASSERT_TRUE(server.WaitForConnections(1));
    EXPECT_EQ(server.Received().at(0), std::string(kTunnel) + "tunnelled");
    ASSERT_TRUE(Eventually([&] { return core_.Statistics().connectionsProcessed.load() == 1; }));
    StopCore();
    EXPECT_EQ(core_.Statistics().connectionsAccepted.load(), 1u);
    EXPECT_EQ(core_.Statistics().targetsNotFound.load(), 0u);
    EXPECT_TRUE(HasLine(Lines(), 2, "Connection to " + SocketAddressText(server.Address())));
}

// The kernel, not a record, says where a connection goes: a leftover record
// of the client's port sends nothing elsewhere, and a connection whose source
// port the translation rewrote still finds its own record.
TEST_F(CoreDispatchTest, DestinationComesFromTheKernelAndRewrittenPortsFindTheirRecord) {
    test::RecordingServer stale;
    test::RecordingServer own;
    auto client = test::BoundClient(test::Loopback4());
    const uint16_t port = test::BoundAddress(*client).Port();
    core_.AddRedirectRecord({*ParseIpAddress("127.0.0.1", port), stale.Address(), 11, L"/usr/bin/old"});
    core_.AddRedirectRecord({*ParseIpAddress("127.0.0.1", port + 1), own.Address(), 12, L"/usr/bin/new"});
    nat_.Redirect(port, own.Address());  // the connect asked from port+1, translated to `port`
    ASSERT_TRUE(ConnectSocket(client->Handle(), core_.Ipv4ProxyAddress()));
    SendText(*client, kTunnel);
    client->Close();
    ASSERT_TRUE(own.WaitForConnections(1));
    EXPECT_EQ(own.Received().at(0), kTunnel);
    StopCore();
    EXPECT_EQ(stale.Received().size(), 0u);
    bool named = false;
    for (const LogRecord& record : LogQueue::Instance().TakeAll()) {
        if (record.message == L"Connection to " + Utf8ToWide(SocketAddressText(own.Address()))) {
            named = record.appLink.target == "new";
        }
    }
    EXPECT_TRUE(named) << "the connection was not named after its own application";
}

TEST_F(CoreDispatchTest, UnknownPeerIsClosedWithoutData) {
    auto client = test::ConnectTo(core_.Ipv4ProxyAddress());
    const std::string peer = SocketAddressText(test::BoundAddress(*client));
    EXPECT_EQ(test::ReadToEnd(*client), "");
    StopCore();
    EXPECT_EQ(core_.Statistics().targetsNotFound.load(), 1u);
    EXPECT_TRUE(HasLine(Lines(), 2, "Connection from " + peer + " - target not found."));
}

TEST_F(CoreDispatchTest, Ipv6ConnectionsAreServedAndNamedInBrackets) {
    if (!core_.Ipv6Listener()) GTEST_SKIP() << "no IPv6 loopback on this machine";
    auto unknown = test::ConnectTo(core_.Ipv6ProxyAddress());
    const std::string peer = SocketAddressText(test::BoundAddress(*unknown));
    EXPECT_EQ(peer.rfind("[::1]:", 0), 0u);
    EXPECT_EQ(test::ReadToEnd(*unknown), "");

    test::RecordingServer server;  // an IPv4 destination: the family of the client does not matter
    auto client = test::BoundClient(*ParseIpAddress("::1", 0));
    const uint16_t port = test::BoundAddress(*client).Port();
    core_.AddRedirectRecord({*ParseIpAddress("::", port), server.Address(), 9, L"/usr/bin/app"});
    nat_.Redirect(port, server.Address());
    ASSERT_TRUE(ConnectSocket(client->Handle(), core_.Ipv6ProxyAddress()));
    SendText(*client, kTunnel);
    client->Close();
    ASSERT_TRUE(server.WaitForConnections(1));
    EXPECT_EQ(server.Received().at(0), kTunnel);
    StopCore();
    EXPECT_TRUE(HasLine(Lines(), 2, "Connection from " + peer + " - target not found."));
}

TEST_F(CoreDispatchTest, VerboseLineNamesPeerAndFailuresAreLoggedByKind) {
    SetScreenLogLevel(3);
    const SocketAddressSlot nowhere = *ParseIpAddress("192.0.2.1", 80);
    auto empty = RedirectedClient(nowhere);
    const std::string emptyPeer = SocketAddressText(test::BoundAddress(*empty));
    empty->Close();
    auto garbage = RedirectedClient(nowhere);
    SendText(*garbage, "XYZ / HTTP/1.1\r\n\r\n");
    EXPECT_EQ(test::ReadToEnd(*garbage), "");
    // Half a head and then silence: the proxy ends the connection at the idle limit.
    core_.SetHeadIdleLimit(std::chrono::milliseconds(50));
    auto silent = RedirectedClient(nowhere);
    SendText(*silent, "GET / HTTP/1.1\r\nHost: h.example\r\n");
    EXPECT_EQ(test::ReadToEnd(*silent), "");
    ASSERT_TRUE(Eventually([&] { return core_.Statistics().connectionsFailed.load() == 3; }));
    const auto lines = Lines();
    EXPECT_TRUE(HasLine(lines, 3, "Could not process connection: no request head within the time limit"));
    EXPECT_TRUE(HasLine(lines, 2, "Connection from " + emptyPeer + " to 192.0.2.1:80"));
    EXPECT_TRUE(HasLine(lines, 3, "Could not process connection: empty connection"));
    EXPECT_TRUE(HasLine(lines, 1,
                        "Could not process connection: Client sent incorrect HTTP request. Please make sure that "
                        "client uses HTTP protocol."));
}

TEST_F(CoreDispatchTest, FiftyFirstConnectionToOneDestinationGetsTheLoopPage) {
    test::RecordingServer server;
    const DestinationKey key = MakeDestinationKey(server.Address());
    std::vector<std::shared_ptr<CSafeSocket>> clients;
    for (int i = 0; i < 50; ++i) {
        clients.push_back(RedirectedClient(server.Address()));
        SendText(*clients.back(), kTunnel);
    }
    ASSERT_TRUE(Eventually([&] { return core_.ConnectionsInProgress(77, key) == 50; }));

    // Another process to the same destination is counted on its own.
    auto other = RedirectedClient(server.Address(), 78);
    SendText(*other, kTunnel);
    ASSERT_TRUE(Eventually([&] { return core_.ConnectionsInProgress(78, key) == 1; }));

    auto flagged = RedirectedClient(server.Address());
    SendText(*flagged, "GET /loop HTTP/1.1\r\nHost: h.example\r\n\r\n");
    const std::string page = test::ReadToEnd(*flagged);
    EXPECT_NE(page.find("Infinite loop connection detected!"), std::string::npos);
    EXPECT_NE(page.find("<strong>" + SocketAddressText(server.Address()) + " (h.example)</strong>"), std::string::npos);
    EXPECT_EQ(core_.Statistics().http.httpLoopReports.load(), 1u);

    for (auto& client : clients) client->Close();
    other->Close();
    ASSERT_TRUE(server.WaitForConnections(51));
    EXPECT_TRUE(Eventually([&] {
        return core_.ConnectionsInProgress(77, key) == 0 && core_.ConnectionsInProgress(78, key) == 0;
    }));
}

// The proxy asks the checker it was given, whose answer the next request
// takes from its cache, and Stop stops that checker.
TEST_F(CoreDispatchTest, ConnectionsAskTheCheckerTheCoreWasGiven) {
    test::TestServer https(test::HttpsHandler(
        test::MakeServerContext(test::SharedPki().Issue({.names = {"www.h.example"}})), test::HttpReply(200)));
    const auto folder = std::filesystem::temp_directory_path() / ("hbt_core_checker_" + std::to_string(getpid()));
    std::filesystem::create_directories(folder);
    HttpsCheckerOptions options;
    options.cachePath = (folder / "https_cache.xml").string();
    options.httpsPort = https.Port();
    const std::shared_ptr<CHttpsChecker> checker = CHttpsChecker::Create(options);
    core_.SetHttpsChecker(checker);
    Preferences bestEffort;
    bestEffort.allowInsecureIfNoHttps = true;
    core_.ReplacePreferences(bestEffort);

    test::RecordingServer origin;  // where a request without HTTPS would go
    for (int i = 0; i < 2; ++i) {
        auto client = RedirectedClient(origin.Address());
        SendText(*client, "GET /p HTTP/1.1\r\nHost: www.h.example\r\n\r\n");
        ::shutdown(static_cast<int>(client->Handle()), SHUT_WR);  // a request passed through ends
        EXPECT_TRUE(test::ReadToEnd(*client).starts_with("HTTP/1.1 307 Temporary Redirect\r\n")) << "request " << i;
    }
    EXPECT_EQ(https.Connections(), 1);
    EXPECT_EQ(origin.Received().size(), 0u);
    StopCore();
    EXPECT_TRUE(checker->ChecksStopping());
    std::filesystem::remove_all(folder);
}

TEST_F(CoreDispatchTest, StopWaitsUntilEveryAcceptedConnectionIsResolved) {
    std::vector<std::shared_ptr<CSafeSocket>> clients;
    for (int i = 0; i < 30; ++i) clients.push_back(test::ConnectTo(core_.Ipv4ProxyAddress()));
    ASSERT_TRUE(Eventually([&] { return core_.Statistics().connectionsAccepted.load() > 0; }));
    StopCore();
    EXPECT_EQ(core_.UnresolvedConnections(), 0u);
    EXPECT_EQ(core_.Statistics().targetsNotFound.load(), core_.Statistics().connectionsAccepted.load());
    EXPECT_EQ(core_.Ipv4Listener(), nullptr);
    EXPECT_EQ(core_.Ipv6Listener(), nullptr);
}

TEST(CoreListeners, EmptyListenerEndsTheLoopAtOnce) {
    LogQueue::Instance().TakeAll();
    LogQueue::Instance().RegisterReceiver([] {});
    CHbtCore core;
    core.AcceptConnections(nullptr);
    const auto records = LogQueue::Instance().TakeAll();
    LogQueue::Instance().ClearReceiver();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].level, 1);
    EXPECT_EQ(records[0].message, L"Main socket is not exists.");
}

}  // namespace
}  // namespace hbt

namespace hbt {
namespace {

TEST(CoreLifetime, DestroyingTheCoreEndsConnectionsInProgress) {
    test::RecordingServer server;
    test::FakeNat nat;
    auto core = std::make_unique<CHbtCore>();
    core->SetOriginalDestinationLookup(nat.Lookup());
    std::wstring fatal;
    ASSERT_TRUE(core->OpenProxyListeners(fatal));
    std::thread acceptLoop([&] { core->AcceptConnections(core->Ipv4Listener()); });

    auto client = test::BoundClient(test::Loopback4());
    const uint16_t port = test::BoundAddress(*client).Port();
    core->AddRedirectRecord({*ParseIpAddress("0.0.0.0", port), server.Address(), 5, L"/usr/bin/app"});
    nat.Redirect(port, server.Address());
    ASSERT_TRUE(ConnectSocket(client->Handle(), core->Ipv4ProxyAddress()));
    SendText(*client, kTunnel);
    const DestinationKey key = MakeDestinationKey(server.Address());
    for (int i = 0; i < 500 && core->ConnectionsInProgress(5, key) == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_EQ(core->ConnectionsInProgress(5, key), 1u);

    core->Stop();  // leaves connections in progress alone
    acceptLoop.join();
    EXPECT_EQ(core->ConnectionsInProgress(5, key), 1u);
    core.reset();  // ends the relay and waits for its thread
    EXPECT_TRUE(server.WaitForConnections(1));
    EXPECT_EQ(test::ReadToEnd(*client), "");
}

}  // namespace
}  // namespace hbt
