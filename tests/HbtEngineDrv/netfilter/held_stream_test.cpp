#include "HbtEngineDrv/netfilter/held_stream.h"

#include <gtest/gtest.h>

namespace hbt {
namespace {

HeldPacket Held(uint32_t id, uint32_t sequence, std::vector<uint8_t> data) {
    HeldPacket p;
    p.packetId = id;
    p.sequence = sequence;
    p.endSequence = sequence + static_cast<uint32_t>(data.size());
    p.data = std::move(data);
    return p;
}

TEST(HeldStream, TellsNewHeldAndOldBytesApartAcrossTheWrap) {
    HeldStream s;
    std::size_t offset = 99;
    const uint32_t start = 0xFFFFFFF0u;  // the sequence space wraps inside this stream
    EXPECT_EQ(s.Classify(start, 10, &offset), HeldStream::Kind::kNew);
    EXPECT_EQ(offset, 0u);
    s.Hold(Held(1, start, std::vector<uint8_t>(10, 1)));
    EXPECT_EQ(s.Classify(start, 10, &offset), HeldStream::Kind::kHeldRetransmit);
    EXPECT_EQ(s.Classify(start + 10, 20, &offset), HeldStream::Kind::kNew);
    s.TakeAll();
    EXPECT_EQ(s.Classify(start + 10, 20, &offset), HeldStream::Kind::kOld);
    // A retransmission that overlaps what passed and adds new bytes reports the new ones only.
    EXPECT_EQ(s.Classify(start + 25, 15, &offset), HeldStream::Kind::kNew);
    EXPECT_EQ(offset, 5u);
}

TEST(HeldStream, InjectionReleasesTheHeldPacketsItCoversWhole) {
    HeldStream s;
    s.Hold(Held(1, 100, {1, 2, 3}));
    s.Hold(Held(2, 103, {4, 5}));
    s.Hold(Held(3, 105, {6}));
    EXPECT_FALSE(s.TakeMatching({1, 2, 3, 9}));  // other bytes
    EXPECT_FALSE(s.TakeMatching({2, 3}));        // not where the held bytes begin
    EXPECT_FALSE(s.TakeMatching({}));            // the front is no bare FIN

    // Given back in pieces that cut through packets: a packet passes once all of it is back.
    const auto part = s.TakeMatching({1, 2});
    ASSERT_TRUE(part);
    EXPECT_TRUE(part->empty());
    EXPECT_FALSE(s.TakeMatching({1, 2}));  // those bytes were given back already
    const auto rest = s.TakeMatching({3, 4, 5});
    ASSERT_TRUE(rest);
    ASSERT_EQ(rest->size(), 2u);
    EXPECT_EQ((*rest)[0].packetId, 1u);
    EXPECT_EQ((*rest)[1].packetId, 2u);
    EXPECT_EQ(s.Front().packetId, 3u);

    EXPECT_FALSE(s.TakeMatching({6, 7}));  // more than is held
    s.Hold(Held(4, 106, {}));
    const auto last = s.TakeMatching({6});
    ASSERT_TRUE(last);
    EXPECT_EQ(last->size(), 1u);  // the bare FIN behind it waits for its own give-back
    const auto fin = s.TakeMatching({});
    ASSERT_TRUE(fin);
    EXPECT_EQ((*fin)[0].packetId, 4u);
    EXPECT_TRUE(s.Empty());
}

}  // namespace
}  // namespace hbt
