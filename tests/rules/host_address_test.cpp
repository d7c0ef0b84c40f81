#include <gtest/gtest.h>

#include "rules/host_address.h"

namespace hbt {
namespace {

TEST(ParseIpv4Text, AcceptsOnlyStrictDottedDecimal) {
    EXPECT_EQ(ParseIpv4Text("192.0.2.255"), (std::array<uint8_t, 4>{192, 0, 2, 255}));
    EXPECT_EQ(ParseIpv4Text("0.0.0.0"), (std::array<uint8_t, 4>{}));
    for (const char* bad : {"", "1.2.3", "1.2.3.4.5", "256.1.1.1", "01.2.3.4", "1..2.3", "1.2.3.4.", ".1.2.3", "1.2.3.a"})
        EXPECT_FALSE(ParseIpv4Text(bad)) << bad;
}

TEST(ParseIpv6Text, AcceptsTheTextForms) {
    std::array<uint8_t, 16> loopback{};
    loopback[15] = 1;
    EXPECT_EQ(ParseIpv6Text("::1"), loopback);
    EXPECT_EQ(ParseIpv6Text("0:0:0:0:0:0:0:1"), loopback);
    EXPECT_EQ(ParseIpv6Text("::"), (std::array<uint8_t, 16>{}));
    auto mapped = ParseIpv6Text("::ffff:192.0.2.1");
    ASSERT_TRUE(mapped);
    EXPECT_EQ((*mapped)[10], 0xff);
    EXPECT_EQ((*mapped)[12], 192);
    EXPECT_EQ((*mapped)[15], 1);
    auto doc = ParseIpv6Text("2001:DB8::8:800:200c:417a");
    ASSERT_TRUE(doc);
    EXPECT_EQ((*doc)[0], 0x20);
    EXPECT_EQ((*doc)[3], 0xb8);
    EXPECT_EQ((*doc)[9], 0x08);
    EXPECT_EQ((*doc)[15], 0x7a);
    EXPECT_TRUE(ParseIpv6Text("fe80::"));
    for (const char* bad : {"", ":", ":1", "1:", "1::2::3", "12345::", "1:2:3:4:5:6:7:8:9", "1:2:3:4:5:6:7::8",
                            "1:2:3:4:5:6:7", "::ffff:1.2.3", "::g", "1.2.3.4", "::1.2.3.4:1"})
        EXPECT_FALSE(ParseIpv6Text(bad)) << bad;
}

}  // namespace
}  // namespace hbt
