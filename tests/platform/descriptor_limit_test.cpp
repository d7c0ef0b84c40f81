// Raising the descriptor limit of the test process itself.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include "platform/descriptor_limit.h"

namespace hbt {
namespace {

TEST(DescriptorLimit, SoftLimitIsRaisedToTheHardOne) {
    rlimit limit{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    ASSERT_GT(limit.rlim_max, 64u);
    rlimit lowered = limit;
    lowered.rlim_cur = 64;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lowered), 0);

    EXPECT_EQ(RaiseDescriptorLimit(), limit.rlim_max);
    rlimit now{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &now), 0);
    EXPECT_EQ(now.rlim_cur, limit.rlim_max);
    // Already at the hard limit: nothing to do, same answer.
    EXPECT_EQ(RaiseDescriptorLimit(), limit.rlim_max);
}

}  // namespace
}  // namespace hbt
