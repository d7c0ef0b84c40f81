#include <gtest/gtest.h>

#include "rules/preferences.h"
#include "rules/wildcard.h"

namespace hbt {
namespace {

TEST(WildcardMatch, Table) {
    struct Case {
        const char* pattern;
        const char* name;
        bool match;
    };
    const Case cases[] = {
        {"app.example.???", "app.example.com", true},
        {"app.example.???", "app.example.co", false},
        {"*.example.com", "app.example.com", true},
        {"*.example.com", "badexample.com", false},
        {"a**b", "ab", true},
        {"a*", "a", true},
        {"a***", "abc", true},
        {"*b*b", "abcbcb", true},
        {"*x", "abc", false},
        {"", "", true},
        {"", "a", false},
        {"abc", "ab", false},
        {"Tool.exe", "tool.exe", false},
        {"?", "", false},
    };
    for (const auto& c : cases) EXPECT_EQ(WildcardMatch(c.pattern, c.name), c.match) << c.pattern << " / " << c.name;
}

Preferences WithHosts(const std::wstring& hosts) {
    Preferences p;
    std::wstring message;
    EXPECT_TRUE(p.SetExcludedHosts(hosts, message));
    return p;
}

TEST(IsHostExcluded, CoversThroughTheAddedDotAndByteForByte) {
    const Preferences p = WithHosts(L"*.example.com;exact.org;10.0.0.1;Up.Case");
    EXPECT_TRUE(p.IsHostExcluded("example.com"));
    EXPECT_TRUE(p.IsHostExcluded("app.example.com"));
    EXPECT_FALSE(p.IsHostExcluded("badexample.com"));
    EXPECT_TRUE(p.IsHostExcluded("exact.org"));
    EXPECT_FALSE(p.IsHostExcluded("app.exact.org"));
    EXPECT_TRUE(p.IsHostExcluded("10.0.0.1"));
    // Patterns are kept in lower case and compared case-sensitively.
    EXPECT_TRUE(p.IsHostExcluded("up.case"));
    EXPECT_FALSE(p.IsHostExcluded("Up.Case"));
    EXPECT_FALSE(p.IsHostExcluded("APP.example.org"));
}

TEST(IsApplicationExcluded, UsesEntriesAsTypedWhileTheConnectDecisionFoldsCase) {
    Preferences p;
    std::wstring message;
    ASSERT_TRUE(p.SetExcludedApplications(L"Tool.exe;\"My *.exe\";\u00C4pp?", message));
    EXPECT_TRUE(p.IsApplicationExcluded("Tool.exe"));
    EXPECT_FALSE(p.IsApplicationExcluded("tool.exe"));
    EXPECT_TRUE(p.IsApplicationExcluded("My Game.exe"));
    EXPECT_TRUE(p.IsApplicationExcluded("\xC3\x84pp1"));  // UTF-8 of the typed entry
    EXPECT_TRUE(p.IsApplicationListed(L"TOOL.EXE"));
    EXPECT_TRUE(p.IsApplicationListed(L"\u00E4PP?"));
    EXPECT_FALSE(p.IsApplicationListed(L"My Game.exe"));  // no wildcards there
}

TEST(RemoveHostFromExclusions, DropsCoveringPatternsAndKeepsRanges) {
    Preferences p = WithHosts(L"*.example.com; app.example.com; Other.org; 10.0.0.1-10.0.0.5");
    std::wstring message;
    ASSERT_TRUE(p.RemoveHostFromExclusions("app.example.com", message));
    EXPECT_EQ(p.excludeHostsText, L"Other.org\n10.0.0.1-10.0.0.5");
    EXPECT_EQ(p.excludeHosts, (std::vector<std::string>{"other.org"}));
    ASSERT_EQ(p.excludeHostRules.size(), 2u);
    EXPECT_EQ(p.excludeHostRules[1].kind, kHostRuleIpv4);
    ASSERT_TRUE(p.RemoveHostFromExclusions("other.org", message));
    ASSERT_TRUE(p.RemoveHostFromExclusions("10.0.0.1-10.0.0.5", message));
    EXPECT_EQ(p.excludeHostsText, L"10.0.0.1-10.0.0.5");
}

TEST(RemoveApplicationFromExclusions, QuotesEntriesWithBlanks) {
    Preferences p;
    std::wstring message;
    ASSERT_TRUE(p.SetExcludedApplications(L"\"My Tool.exe\";other.exe;oth*", message));
    ASSERT_TRUE(p.RemoveApplicationFromExclusions("other.exe", message));
    EXPECT_EQ(p.excludeApplicationsText, L"\"My Tool.exe\"");
    EXPECT_EQ(p.excludeApplications, (std::vector<std::wstring>{L"My Tool.exe"}));
    ASSERT_TRUE(p.RemoveApplicationFromExclusions("My Tool.exe", message));
    EXPECT_TRUE(p.excludeApplications.empty());
}

TEST(IsAddressInExcludedRanges, InclusiveBoundsPerFamily) {
    const Preferences p = WithHosts(L"10.0.0.1-10.0.1.5;2001:db8::10-2001:db8::20;192.0.2.1");
    auto v4 = [](uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
        return SocketAddressSlot::Ipv4({a, b, c, d}, 80);
    };
    EXPECT_TRUE(p.IsAddressInExcludedRanges(v4(10, 0, 0, 1)));
    EXPECT_TRUE(p.IsAddressInExcludedRanges(v4(10, 0, 0, 200)));
    EXPECT_TRUE(p.IsAddressInExcludedRanges(v4(10, 0, 1, 5)));
    EXPECT_FALSE(p.IsAddressInExcludedRanges(v4(10, 0, 1, 6)));
    EXPECT_FALSE(p.IsAddressInExcludedRanges(v4(10, 0, 0, 0)));
    EXPECT_TRUE(p.IsAddressInExcludedRanges(v4(192, 0, 2, 1)));
    std::array<uint8_t, 16> a6{0x20, 0x01, 0x0d, 0xb8};
    a6[15] = 0x15;
    EXPECT_TRUE(p.IsAddressInExcludedRanges(SocketAddressSlot::Ipv6(a6, 80)));
    a6[15] = 0x21;
    EXPECT_FALSE(p.IsAddressInExcludedRanges(SocketAddressSlot::Ipv6(a6, 80)));
    // An IPv6 address whose first bytes equal an IPv4 range is not in it.
    std::array<uint8_t, 16> mixed{10, 0, 0, 2};
    EXPECT_FALSE(p.IsAddressInExcludedRanges(SocketAddressSlot::Ipv6(mixed, 80)));
}

}  // namespace
}  // namespace hbt
