#include <gtest/gtest.h>

#include "rules/preferences.h"

namespace hbt {
namespace {

const std::wstring kPortFormat =
    L"Unexpected port format. Please make sure that you use the correct format for the ports.";
const std::wstring kRangePortFormat =
    L"Unexpected port format within the port range. Please make sure that you use the correct format for the port range.";
const std::wstring kZeroPort =
    L"Port number cannot be zero. A correct port number is an unsigned integer ranging from 1 to 65535.";
const std::wstring kIncorrectHost = L"Incorrect IP address or hostname found.";
const std::wstring kSecondIp = L"The second IP in the range cannot be less than the first one.";

struct Refusal {
    std::wstring text;
    std::wstring message;
};

TEST(HttpPortsSetter, AcceptsCommasBlanksAndRangesAndKeepsTextAsTyped) {
    Preferences p;
    std::wstring message;
    const std::wstring typed = L" 80 ,\t8080 - 8088\r\n 443 ";
    ASSERT_TRUE(p.SetHttpPorts(typed, message)) << std::string(message.begin(), message.end());
    EXPECT_EQ(p.httpPortsText, typed);
    EXPECT_EQ(p.httpPorts,
              (std::vector<uint32_t>{MakePortRange(80, 80), MakePortRange(8080, 8088), MakePortRange(443, 443)}));
    EXPECT_EQ(PortRangeFirst(p.httpPorts[1]), 8080);
    EXPECT_EQ(PortRangeLast(p.httpPorts[1]), 8088);
}

TEST(HttpPortsSetter, EmptyTextGivesNoPortsAndEdgeValuesAreAccepted) {
    Preferences p;
    std::wstring message;
    p.httpPorts = {MakePortRange(1, 1)};
    ASSERT_TRUE(p.SetHttpPorts(L"  ", message));
    EXPECT_TRUE(p.httpPorts.empty());
    ASSERT_TRUE(p.SetHttpPorts(L"1-65535;;080", message));
    EXPECT_EQ(p.httpPorts, (std::vector<uint32_t>{MakePortRange(1, 65535), MakePortRange(80, 80)}));
}

TEST(HttpPortsSetter, RefusesWithTheMessageOfTheFirstFailingCheck) {
    const std::vector<Refusal> cases = {
        {L"80a", L"Incorrect symbol(s) found."},
        {L"80 81", L"Unexpected blank space found.\nPlease make sure that you use semicolon (;) to separate the ports or port ranges."},
        {L"80--81", L"Unexpected hyphen found.\nPlease make sure that you use the correct format for the port ranges."},
        {L"-81", L"The first port in the range is not properly specified. Please make sure that you use the correct format for the port ranges."},
        {L"80;81-", L"The second port in the range is not properly specified. Please make sure that you use the correct format for the port ranges."},
        {L"1-2-3", L"Unexpected port range format. Please make sure that you use the correct format for the port ranges."},
        {L"00-5", kRangePortFormat},
        {L"5-65536", kRangePortFormat},
        {L"00", kPortFormat},
        {L"65536", kPortFormat},
        {L"99999999999999999999", kPortFormat},
        {L"0", kZeroPort},
        {L"0-5", kZeroPort},
        {L"8088-8080", L"The first port number in the range cannot be greater than the last port number."},
        {L";;", L"Please specify the port(s)"},
        // The first bad item wins even when a later one is bad in another way.
        {L"80;0;x", L"Incorrect symbol(s) found."},
        {L"0;8088-8080", kZeroPort},
    };
    for (const auto& c : cases) {
        Preferences p;
        std::wstring message;
        ASSERT_TRUE(p.SetHttpPorts(L"80", message));
        const Preferences before = p;
        EXPECT_FALSE(p.SetHttpPorts(c.text, message)) << std::string(c.text.begin(), c.text.end());
        EXPECT_EQ(message, c.message) << std::string(c.text.begin(), c.text.end());
        EXPECT_EQ(p, before);
    }
}

TEST(ExcludedApplicationsSetter, QuotedNamesWithBlanksAndLowerCaseCopies) {
    Preferences p;
    std::wstring message;
    const std::wstring typed = L"\" My Tool.exe \" ; other.EXE\n\u00C4pp.exe";
    ASSERT_TRUE(p.SetExcludedApplications(typed, message));
    EXPECT_EQ(p.excludeApplicationsText, typed);
    EXPECT_EQ(p.excludeApplications, (std::vector<std::wstring>{L"My Tool.exe", L"other.EXE", L"\u00C4pp.exe"}));
    EXPECT_EQ(p.excludeApplicationsLower,
              (std::vector<std::wstring>{L"my tool.exe", L"other.exe", L"\u00E4pp.exe"}));
    ASSERT_TRUE(p.SetExcludedApplications(L"", message));
    EXPECT_TRUE(p.excludeApplications.empty());
    EXPECT_TRUE(p.excludeApplicationsLower.empty());
}

TEST(ExcludedApplicationsSetter, RefusesWithEachMessage) {
    const std::vector<Refusal> cases = {
        {L"C:\\Tools\\a.exe", L"Incorrect symbol(s) found."},
        {L"bin/a", L"Incorrect symbol(s) found."},
        {L"a|b", L"Incorrect symbol(s) found."},
        {L"\"a b\" \"c d\"", L"Unexpected double quotes found.\nPlease make sure that you use the correct format for file names containing spaces."},
        {L"My Tool.exe", L"Unexpected blank space found.\nPlease use semicolon (;) to separate filenames and double quotes (\") to mark beginning and end of filenames containing spaces."},
        {L"\"My Tool.exe", L"Not closed quotation mark (\") found."},
    };
    for (const auto& c : cases) {
        Preferences p;
        std::wstring message;
        EXPECT_FALSE(p.SetExcludedApplications(c.text, message));
        EXPECT_EQ(message, c.message);
        EXPECT_TRUE(p.excludeApplicationsText.empty());
    }
}

TEST(ExcludedHostsSetter, PatternsAndRulesInListOrder) {
    Preferences p;
    std::wstring message;
    const std::wstring typed = L"*.Example.com; 10.0.0.1 - 10.0.0.9, my-host\n::1;FE80::1-fe80::ff;192.0.2.7";
    ASSERT_TRUE(p.SetExcludedHosts(typed, message)) << std::string(message.begin(), message.end());
    EXPECT_EQ(p.excludeHostsText, typed);
    EXPECT_EQ(p.excludeHosts, (std::vector<std::string>{"*.example.com", "my-host", "::1", "192.0.2.7"}));
    ASSERT_EQ(p.excludeHostRules.size(), 6u);
    EXPECT_EQ(p.excludeHostRules[0].kind, kHostRuleName);
    EXPECT_EQ(p.excludeHostRules[0].text, "*.Example.com");
    EXPECT_EQ(p.excludeHostRules[0].lowerText, "*.example.com");
    EXPECT_EQ(p.excludeHostRules[1].kind, kHostRuleIpv4);
    EXPECT_EQ(p.excludeHostRules[1].first[3], 1);
    EXPECT_EQ(p.excludeHostRules[1].last[3], 9);
    EXPECT_EQ(p.excludeHostRules[2].kind, kHostRuleName);
    EXPECT_EQ(p.excludeHostRules[3].kind, kHostRuleIpv6);
    EXPECT_EQ(p.excludeHostRules[3].first, p.excludeHostRules[3].last);
    EXPECT_EQ(p.excludeHostRules[4].kind, kHostRuleIpv6);
    EXPECT_EQ(p.excludeHostRules[4].first[0], 0xfe);
    EXPECT_EQ(p.excludeHostRules[4].last[15], 0xff);
    EXPECT_EQ(p.excludeHostRules[5].kind, kHostRuleIpv4);
    EXPECT_TRUE(p.excludeHostRules[5].text.empty());
}

TEST(ExcludedHostsSetter, RefusesWithEachMessage) {
    const std::vector<Refusal> cases = {
        {L"50%.example.com", L"Incorrect symbol(s) found."},
        {L"h\u00E9st.example", L"Incorrect symbol(s) found."},
        {L"a b", L"Unexpected blank space found.\nPlease make sure that you use semicolon (;) to separate hosts."},
        {L"-host", L"Unexpected hyphen found."},
        {L"host-", L"Unexpected hyphen found."},
        {L"::ffff:1.2.3.4-::ffff:1.2.3.9", L"Incorrect target host format."},
        {L"10.0.0.1-host", L"Incorrect IPv4 range."},
        {L"10.0.0.9-10.0.0.1", kSecondIp},
        {L"::1-10.0.0.1", L"Incorrect IPv6 range."},
        {L"::9-::1", kSecondIp},
        {L"a:b-c", L"Incorrect target host."},
        {L"192.168.*.*", kIncorrectHost},
        {L"*", kIncorrectHost},
        {L"1:2:3", kIncorrectHost},
    };
    for (const auto& c : cases) {
        Preferences p;
        std::wstring message;
        EXPECT_FALSE(p.SetExcludedHosts(c.text, message)) << std::string(c.text.begin(), c.text.end());
        EXPECT_EQ(message, c.message) << std::string(c.text.begin(), c.text.end());
        EXPECT_TRUE(p.excludeHostRules.empty());
    }
}

TEST(ExcludedHostsSetter, HyphenatedNamesAndDottedNonAddressesAreHostNames) {
    Preferences p;
    std::wstring message;
    ASSERT_TRUE(p.SetExcludedHosts(L"a.b-c.com;1.2.3;10.0.0.1-10.0.0.1", message));
    EXPECT_EQ(p.excludeHosts, (std::vector<std::string>{"a.b-c.com", "1.2.3"}));
    EXPECT_EQ(p.excludeHostRules.size(), 3u);
}

}  // namespace
}  // namespace hbt
