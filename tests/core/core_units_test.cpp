// Record matching, keys, temporary exclusions and the active connections, without network traffic.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "core/active_connections.h"
#include "core/hbt_core.h"
#include "core/hbt_core_bindings.h"
#include "core/proxy_capacity.h"
#include "core/redirect_table.h"
#include "platform/safe_socket.h"
#include "platform/socket_address.h"
#include "tests/log/log_capture.h"

namespace hbt {
namespace {

SocketAddressSlot Address(const char* text, uint16_t port) { return *ParseIpAddress(text, port); }

RedirectRecord Record(const char* client, uint16_t port, uint16_t destinationPort, uint32_t pid = 1) {
    return {Address(client, port), Address("192.0.2.1", destinationPort), pid, L"/bin/app"};
}

// A record is claimed only by a connection that was going where the record
// says; by the client's port first, then by its address alone, because the
// kernel's address translation may have given the connection another port.
TEST(RedirectTable, JoinsByDestinationThenClientPortThenClientAddress) {
    RedirectTable table;
    const auto now = RedirectTable::Clock::now();
    table.Add(Record("127.0.0.1", 5000, 80, 1), now);
    table.Add(Record("0.0.0.0", 4000, 81, 2), now);
    table.Add(Record("127.0.0.1", 4000, 80, 3), now);
    table.Add(Record("::", 4000, 80, 4), now);
    const SocketAddressSlot peer = Address("127.0.0.1", 4000);
    const SocketAddressSlot to80 = Address("192.0.2.1", 80);

    const std::optional<RedirectRecord> first = table.Claim(peer, to80, now);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->processId, 3u);  // its own port before an older record of another port
    EXPECT_EQ(first->applicationPath, L"/bin/app");
    EXPECT_EQ(table.Claim(peer, to80, now)->processId, 1u);  // the port was rewritten
    EXPECT_FALSE(table.Claim(peer, to80, now));  // an IPv6 record, and one for another destination, are left
    EXPECT_EQ(table.Claim(Address("::1", 4000), to80, now)->processId, 4u);
    EXPECT_EQ(table.Claim(peer, Address("192.0.2.1", 81), now)->processId, 2u);  // the wildcard address
}

// A record nobody claimed must not wait for a later connection from a
// reused port; one the engine was not told about is taken back.
TEST(RedirectTable, UnclaimedRecordsExpireAndWithdrawTakesBackOnlyItsOwn) {
    RedirectTable table;
    const auto start = RedirectTable::Clock::now();
    const SocketAddressSlot peer = Address("127.0.0.1", 4000);
    const SocketAddressSlot to80 = Address("192.0.2.1", 80);
    table.Add(Record("127.0.0.1", 4000, 80, 1), start);
    table.Add(Record("127.0.0.1", 4000, 80, 2), start + kRedirectRecordLifetime);
    const auto expired = start + kRedirectRecordLifetime + std::chrono::seconds(1);
    EXPECT_EQ(table.Claim(peer, to80, expired)->processId, 2u);
    EXPECT_FALSE(table.Claim(peer, to80, expired));

    table.Add(Record("0.0.0.0", 4000, 80, 3), start);
    const RedirectRecordId second = table.Add(Record("127.0.0.1", 4000, 80, 4), start);
    table.Add(Record("127.0.0.1", 4000, 80, 5), start);
    EXPECT_TRUE(table.Withdraw(second));
    EXPECT_FALSE(table.Withdraw(second));
    EXPECT_EQ(table.Claim(peer, to80, start)->processId, 3u);
    table.Clear();
    EXPECT_FALSE(table.Claim(peer, to80, start));
}

TEST(RedirectRecordMatches, AddressFamilyAndPort) {
    struct Case {
        const char* record;
        const char* peer;
        bool matches;
    };
    for (const Case c : {Case{"10.0.0.1", "10.0.0.1", true}, Case{"10.0.0.1", "10.0.0.2", false},
                         Case{"0.0.0.0", "10.0.0.2", true}, Case{"::", "10.0.0.2", false},
                         Case{"::", "2001:db8::1", true}, Case{"2001:db8::1", "2001:db8::1", true},
                         Case{"2001:db8::1", "2001:db8::2", false}}) {
        const RedirectRecord record{Address(c.record, 80), Address("192.0.2.1", 80), 1, L""};
        EXPECT_EQ(RedirectRecordMatches(record, Address(c.peer, 80)), c.matches) << c.record << " " << c.peer;
        EXPECT_FALSE(RedirectRecordMatches(record, Address(c.peer, 81)));
    }
}

TEST(DestinationKey, Ipv4IsWrittenAsMappedIpv6) {
    const DestinationKey v4 = MakeDestinationKey(Address("192.0.2.1", 80));
    const DestinationKey mapped = MakeDestinationKey(Address("::ffff:192.0.2.1", 443));
    EXPECT_EQ(v4, mapped);
    EXPECT_EQ(v4.size(), 4u);
    EXPECT_LT(MakeDestinationKey(Address("192.0.2.1", 80)), MakeDestinationKey(Address("192.0.2.2", 80)));
    EXPECT_TRUE(MakeDestinationKey(SocketAddressSlot{}).empty());
}

TEST(TemporaryExclusions, ReferenceCountedPerAddress) {
    CHbtCore core;
    const SocketAddressSlot address = Address("10.0.0.1", 80);
    EXPECT_TRUE(core.AddTemporaryExclusion(address));
    EXPECT_TRUE(core.AddTemporaryExclusion(Address("10.0.0.1", 8080)));  // same address, other port
    EXPECT_TRUE(core.RemoveTemporaryExclusion(address));
    EXPECT_TRUE(core.IsTemporarilyExcluded(Address("10.0.0.1", 1)));
    EXPECT_EQ(core.TemporaryExclusionsCopy().begin()->second.referenceCount, 1u);
    EXPECT_TRUE(core.RemoveTemporaryExclusion(address));
    EXPECT_TRUE(core.TemporaryExclusionsCopy().empty());
    EXPECT_TRUE(core.RemoveTemporaryExclusion(address));  // absent: nothing happens
    EXPECT_TRUE(core.TemporaryExclusionsCopy().empty());

    core.AddTemporaryExclusion(Address("::ffff:10.0.0.1", 80));
    EXPECT_FALSE(core.IsTemporarilyExcluded(address));  // families differ
    EXPECT_TRUE(core.IsTemporarilyExcluded(Address("::ffff:10.0.0.1", 443)));
    EXPECT_EQ(MakeExclusionKey(address).size(), 1u);
}

TEST(CoreBindings, GetterAndExcluderReachTheCore) {
    CHbtCore core;
    Preferences preferences;
    preferences.autoRedirect = true;
    std::wstring message;
    ASSERT_TRUE(preferences.SetExcludedHosts(L"*.example.com", message));
    core.ReplacePreferences(preferences);

    CHbtPreferencesGetter getter(&core);
    const Preferences copy = *getter.GetPreferences();
    EXPECT_EQ(copy, preferences);
    EXPECT_TRUE(copy.IsHostExcluded("app.example.com"));

    CHbtIpExcluder excluder(&core);
    const SocketAddressSlot address = Address("2001:db8::1", 80);
    EXPECT_TRUE(excluder.AddAddress(address));
    EXPECT_TRUE(core.IsTemporarilyExcluded(address));
    EXPECT_TRUE(excluder.RemoveAddress(address));
    EXPECT_FALSE(core.IsTemporarilyExcluded(address));
}

// Each wait must return only once the last connection it waits for has let go.
TEST(ActiveConnections, WaitsReturnOnceTheLastConnectionIsDone) {
    ActiveConnections connections;
    auto first = CSafeSocket::Create(kFamilyIpv4);
    auto second = CSafeSocket::Create(kFamilyIpv4);
    connections.Register(first);
    connections.Register(second);
    EXPECT_EQ(connections.Unresolved(), 2u);
    EXPECT_EQ(connections.Open(), 2u);

    std::atomic<bool> secondGone{false};
    std::thread resolvedWaiter([&] {
        connections.WaitUntilAllResolved();
        EXPECT_TRUE(secondGone.load());
    });
    std::thread noneWaiter([&] {
        connections.WaitUntilNone();
        EXPECT_TRUE(secondGone.load());
    });
    connections.MarkResolved(first.get());
    connections.MarkResolved(first.get());  // once only
    connections.Unregister(first.get());
    EXPECT_EQ(connections.Unresolved(), 1u);
    EXPECT_EQ(connections.Open(), 1u);
    // A connection whose thread never ran leaves unresolved.
    secondGone = true;
    connections.Unregister(second.get());
    resolvedWaiter.join();
    noneWaiter.join();
    EXPECT_EQ(connections.Unresolved(), 0u);
}

TEST(ProxyCapacity, FromTheDescriptorsLeftTwoPerConnection) {
    EXPECT_EQ(ProxyCapacityForDescriptors(1024), 448u);
    EXPECT_EQ(ProxyCapacityForDescriptors(kDescriptorReserve + 3), 1u);
    EXPECT_EQ(ProxyCapacityForDescriptors(16), 1u);
}

// Full at the capacity, taking connections again only below seven eighths of
// it; one line as an episode starts and one with its count as it ends.
TEST(ProxyCapacity, EachEpisodeIsLoggedOnceAtItsStartAndOnceWithItsCountAtItsEnd) {
    LogCapture log;
    ProxyCapacity capacity;
    capacity.SetCapacity(8);
    EXPECT_TRUE(capacity.Admit(7));
    EXPECT_TRUE(log.Lines().empty());

    EXPECT_FALSE(capacity.Admit(8));
    EXPECT_EQ(log.Lines(), std::vector<std::wstring>{
                               L"Proxy is full (8 connections). New connections go direct until it has room again."});
    for (const uint64_t open : {9, 8, 7}) EXPECT_FALSE(capacity.Admit(open)) << open;
    EXPECT_TRUE(log.Lines().empty());

    EXPECT_TRUE(capacity.Admit(6));
    EXPECT_EQ(log.Lines(), std::vector<std::wstring>{
                               L"Proxy has room again. 4 connections went direct while the proxy was full."});
    EXPECT_TRUE(capacity.Admit(7));
    EXPECT_FALSE(capacity.Admit(8));
    EXPECT_EQ(log.Lines().size(), 1u);  // a new episode
}

}  // namespace
}  // namespace hbt
