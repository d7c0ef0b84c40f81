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

TEST(FindRedirectTarget, MatchesByPortWithWildcardOldestFirstAndConsumesOne) {
    CHbtCore core;
    core.AddRedirectRecord(Record("127.0.0.1", 5000, 81));  // other port of the same peer address
    core.AddRedirectRecord(Record("0.0.0.0", 4000, 82));
    core.AddRedirectRecord(Record("127.0.0.1", 4000, 83));
    core.AddRedirectRecord(Record("::", 4000, 84));
    const SocketAddressSlot peer = Address("127.0.0.1", 4000);

    RedirectRecord first;
    core.FindRedirectTarget(peer, first);
    EXPECT_EQ(first.destination.Port(), 82);
    EXPECT_EQ(first.processId, 1u);
    EXPECT_EQ(first.applicationPath, L"/bin/app");
    RedirectRecord second;
    core.FindRedirectTarget(peer, second);
    EXPECT_EQ(second.destination.Port(), 83);
    RedirectRecord none;
    core.FindRedirectTarget(peer, none);
    EXPECT_EQ(none.destination.Family(), 0);

    RedirectRecord v6;
    core.FindRedirectTarget(Address("::1", 4000), v6);
    EXPECT_EQ(v6.destination.Port(), 84);

    core.ClearRedirectRecords();
    RedirectRecord cleared;
    core.FindRedirectTarget(Address("127.0.0.1", 5000), cleared);
    EXPECT_EQ(cleared.destination.Family(), 0);
}

TEST(RedirectTable, WithdrawTakesBackOnlyItsOwnRecord) {
    RedirectTable table;
    table.Add(Record("0.0.0.0", 4000, 81));
    const RedirectRecordId second = table.Add(Record("127.0.0.1", 4000, 82));
    table.Add(Record("127.0.0.1", 4000, 83));
    EXPECT_TRUE(table.Withdraw(second));
    EXPECT_FALSE(table.Withdraw(second));
    const SocketAddressSlot peer = Address("127.0.0.1", 4000);
    EXPECT_EQ(table.TakeOldestMatch(peer)->destination.Port(), 81);
    EXPECT_EQ(table.TakeOldestMatch(peer)->destination.Port(), 83);
    EXPECT_FALSE(table.TakeOldestMatch(peer));
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
