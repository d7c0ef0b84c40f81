#include <gtest/gtest.h>

#include "update/version.h"

namespace hbt {
namespace {

TEST(Version, RunningProgram) {
    EXPECT_STREQ(kFullVersion, "1.54.0");
    EXPECT_EQ(ShortVersion(), "1.54");
    EXPECT_EQ(VersionNumber(), 15400u);
    EXPECT_EQ(BuildLabel(), "");
    EXPECT_EQ(VersionBannerText(), "v1.54 ");
}

TEST(Version, DerivedTextsOfOtherVersions) {
    struct Case {
        const char* full;
        const char* shortVersion;
        uint32_t number;
        const char* label;
    };
    const Case cases[] = {
        {"1.54.0", "1.54", 15400, ""},
        {"2.1rc3", "2", 20000, "RC3"},
        {"2.0.1rc", "2.0", 20000, "RC"},
        {"1.60.d7", "1.60", 16000, "Dev 7"},
        {"1.5a2", "1", 10000, "Alpha 2"},
        {"1.55.b1", "1.55", 15500, "Beta"},
        {"1.55.b2", "1.55", 15500, "Beta 2"},
        {"154", "154", 1540000, ""},
        {"x.y.z", "x.y", 0, ""},
        {"1.55b123456789012345678", "1", 10000, "Beta 12345678901234"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ShortVersionOf(c.full), c.shortVersion) << c.full;
        EXPECT_EQ(VersionNumberOf(ShortVersionOf(c.full)), c.number) << c.full;
        EXPECT_EQ(BuildLabelOf(c.full), c.label) << c.full;
    }
    EXPECT_EQ(ShortVersionOf("12345678901234567890.1").size(), 19u);
}

}  // namespace
}  // namespace hbt
