#include "HbtEngineDrv/netfilter/held_connects.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace hbt {
namespace {

using Kind = HeldConnects::SynMatch::Kind;

TcpFourTuple Tuple(uint16_t localPort) {
    TcpFourTuple t;
    t.local = {192, 0, 2, 2};
    t.remote = {192, 0, 2, 1};
    t.localPort = localPort;
    t.remotePort = 443;
    return t;
}

TEST(HeldConnects, RetransmittedSynIsHeldWithItsConnectAndAnsweredWithIt) {
    HeldConnects connects;
    const ClassifyInfo first = connects.Hold(Tuple(50000), 100, 1, {});
    const ClassifyInfo other = connects.Hold(Tuple(50001), 100, 2, {});
    EXPECT_NE(first.connectHandle, other.connectHandle);
    EXPECT_EQ(first.endpointHandle, first.connectHandle);

    EXPECT_EQ(connects.Match(Tuple(50000), 100, 3).kind, Kind::kJoined);
    // Another initial sequence number on the same tuple is another connect.
    EXPECT_EQ(connects.Match(Tuple(50000), 999, 4).kind, Kind::kNew);

    const auto taken = connects.Take(first.connectHandle);
    ASSERT_TRUE(taken);
    EXPECT_EQ(taken->packetIds, (std::vector<uint32_t>{1, 3}));
    EXPECT_FALSE(connects.Take(first.connectHandle));
    // Taken out and not answered yet: nothing left to join.
    EXPECT_EQ(connects.Match(Tuple(50000), 100, 5).kind, Kind::kNew);
    // The other connect is still held, under its own tuple.
    EXPECT_EQ(connects.Match(Tuple(50001), 100, 6).kind, Kind::kJoined);
}

TEST(HeldConnects, LateRetransmitGetsTheAnswerUntilItIsPruned) {
    HeldConnects connects;
    const uint64_t answeredAt = 5'000'000'000;
    connects.RecordAnswer(Tuple(50000), 100, 0x48420002, answeredAt);
    connects.RecordAnswer(Tuple(50001), 200, 0, answeredAt + HeldConnects::kAnswerKeep);

    const auto late = connects.Match(Tuple(50000), 100, 1);
    EXPECT_EQ(late.kind, Kind::kAnswered);
    EXPECT_EQ(late.mark, 0x48420002u);
    EXPECT_EQ(connects.Match(Tuple(50000), 101, 2).kind, Kind::kNew);  // the port was reused

    connects.PruneAnswers(answeredAt + HeldConnects::kAnswerKeep);
    EXPECT_EQ(connects.Match(Tuple(50000), 100, 3).kind, Kind::kAnswered);
    connects.PruneAnswers(answeredAt + HeldConnects::kAnswerKeep + 1);
    EXPECT_EQ(connects.Match(Tuple(50000), 100, 4).kind, Kind::kNew);
    // A later answer outlives the pruning of an older one.
    EXPECT_EQ(connects.Match(Tuple(50001), 200, 5).kind, Kind::kAnswered);
}

TEST(HeldConnects, HeldConnectIsJoinedBeforeAnOlderAnswerAndAllPacketsAreReleasedAtStop) {
    HeldConnects connects;
    connects.RecordAnswer(Tuple(50000), 100, 7, 0);
    connects.Hold(Tuple(50000), 100, 1, {});
    EXPECT_EQ(connects.Match(Tuple(50000), 100, 2).kind, Kind::kJoined);
    connects.Hold(Tuple(50001), 300, 3, {});

    std::vector<uint32_t> released = connects.TakeAllPackets();
    std::sort(released.begin(), released.end());
    EXPECT_EQ(released, (std::vector<uint32_t>{1, 2, 3}));
    // Nothing is held or remembered any more.
    EXPECT_EQ(connects.Match(Tuple(50000), 100, 4).kind, Kind::kNew);
    EXPECT_TRUE(connects.TakeAllPackets().empty());
}

}  // namespace
}  // namespace hbt
