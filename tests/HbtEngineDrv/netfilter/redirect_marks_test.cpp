#include "HbtEngineDrv/netfilter/redirect_marks.h"

#include <gtest/gtest.h>

#include "HbtEngineDrv/netfilter/packet_marks.h"

namespace hbt {
namespace {

RedirectTarget Loopback(uint16_t port, bool ipv6 = false) {
    RedirectTarget t;
    t.ipv6 = ipv6;
    if (ipv6) {
        t.address[15] = 1;
    } else {
        t.address = {127, 0, 0, 1};
    }
    t.port = port;
    return t;
}

// Adds the target as NetfilterRules does on its first use.
uint32_t Add(RedirectMarks& marks, const RedirectTarget& target) {
    if (const uint32_t mark = marks.MarkOf(target)) return mark;
    const uint32_t mark = marks.NextFree();
    if (mark != 0) marks.Use(mark, target);
    return mark;
}

TEST(RedirectMarks, EachTargetInUseHasOneMarkOfItsOwn) {
    RedirectMarks marks;
    const uint32_t first = Add(marks, Loopback(8080));
    EXPECT_EQ(first, kMarkRedirectBase + 1);
    EXPECT_EQ(Add(marks, Loopback(8080)), first);
    EXPECT_EQ(marks.InUse().size(), 1u);
    const uint32_t otherPort = Add(marks, Loopback(8081));
    const uint32_t otherFamily = Add(marks, Loopback(8080, true));
    EXPECT_NE(otherPort, first);
    EXPECT_NE(otherFamily, first);
    EXPECT_NE(otherFamily, otherPort);
    EXPECT_TRUE(marks.AnyIn(false));
    EXPECT_TRUE(marks.AnyIn(true));
}

TEST(RedirectMarks, ReleasedMarksAreNotHandedOutAgainSoon) {
    // A program's second start: the same target and a new one both get marks
    // that no released target had.
    RedirectMarks marks;
    const uint32_t old4 = Add(marks, Loopback(8080));
    const uint32_t old6 = Add(marks, Loopback(8080, true));
    marks.ReleaseAll();
    EXPECT_TRUE(marks.InUse().empty());
    EXPECT_FALSE(marks.AnyIn(false));
    EXPECT_EQ(marks.MarkOf(Loopback(8080)), 0u);
    for (const RedirectTarget& t : {Loopback(8080), Loopback(9090)}) {
        const uint32_t mark = Add(marks, t);
        EXPECT_NE(mark, old4);
        EXPECT_NE(mark, old6);
    }
    EXPECT_FALSE(marks.AnyIn(true));
}

TEST(RedirectMarks, NumberingStartsOverOnlyAfterEveryMarkWasUsed) {
    RedirectMarks marks;
    for (uint32_t i = 0; i < kMaxRedirectTargets; ++i) {
        const uint32_t mark = marks.NextFree();
        ASSERT_EQ(mark, kMarkRedirectBase + i + 1);
        marks.Use(mark, Loopback(static_cast<uint16_t>(i)));
    }
    EXPECT_EQ(marks.NextFree(), 0u);
    EXPECT_EQ(Add(marks, Loopback(0, true)), 0u);
    marks.ReleaseAll();
    EXPECT_EQ(Add(marks, Loopback(0, true)), kMarkRedirectBase + 1);
}

}  // namespace
}  // namespace hbt
