// The Options and cipher suite dialogs' behaviour without widgets: the mode
// list, the version boxes, the checks of OK, the suite lists, the code entry
// and the character rules of the list fields.
#include <gtest/gtest.h>

#include "ui/character_rules.h"
#include "ui/cipher_code_entry.h"
#include "ui/cipher_suite_lists.h"
#include "ui/options_model.h"

namespace hbt {
namespace {

TEST(CipherModeList, IndexAndModeMapBothWays) {
    const std::pair<int32_t, int> cases[] = {{1, 0}, {2, 1}, {3, 2}, {128, 3}};
    for (const auto& [mode, index] : cases) {
        EXPECT_EQ(CipherModeIndex(mode), index) << mode;
        Preferences p;
        p.checkEncMethod = 128;
        p.cipherBaseMode = 3;
        p.cipherOverrides = {{0x0005, true}};
        SetCipherModeFromIndex(p, index);
        EXPECT_EQ(p.checkEncMethod, mode) << index;
        EXPECT_EQ(p.cipherBaseMode, index == 3 ? 3 : mode) << index;
        EXPECT_EQ(p.cipherOverrides.empty(), index != 3) << "a predefined mode drops the customised entries";
    }
}

TEST(VersionBoxes, EarlyTls13CodeFollowsTheTls13Box) {
    EXPECT_EQ(VersionTicksFromList({32512}), VersionTicks{}) << "the early code alone ticks nothing";
    EXPECT_EQ(VersionTicksFromList({772, 769, 32512}), (VersionTicks{false, false, true, false, false, true}));
    EXPECT_EQ(AllowedVersionsFromTicks({true, true, true, true, true, true}),
              (std::vector<uint16_t>{772, 771, 770, 769, 768, 512, 32512}));
    EXPECT_EQ(AllowedVersionsFromTicks({false, false, false, false, false, true}),
              (std::vector<uint16_t>{772, 32512}));
    EXPECT_EQ(AllowedVersionsFromTicks({false, true, true, false, false, false}), (std::vector<uint16_t>{769, 768}));
    EXPECT_TRUE(AllowedVersionsFromTicks({}).empty());
}

TEST(LegacySsl, RefusedWithCipherControlAskedOtherwise) {
    const VersionTicks ssl2{true, false, false, false, true, false};
    const VersionTicks ssl3{false, true, false, false, true, false};
    const VersionTicks tlsOnly{false, false, false, false, true, true};
    EXPECT_EQ(JudgeLegacySsl(tlsOnly, 3), LegacySslVerdict::kFine);
    EXPECT_EQ(JudgeLegacySsl(ssl2, 0), LegacySslVerdict::kAskUser);
    EXPECT_EQ(JudgeLegacySsl(ssl3, 1), LegacySslVerdict::kAskUser);
    EXPECT_EQ(JudgeLegacySsl(ssl3, 2), LegacySslVerdict::kRefused);
    EXPECT_EQ(JudgeLegacySsl(ssl2, 3), LegacySslVerdict::kRefused);
}

TEST(ListTexts, ProcessesThenPortsThenHostsWithTheFirstFailureShown) {
    struct Case {
        std::wstring applications, ports, hosts, message;
    };
    const Case cases[] = {
        {L"a\\b.exe", L"80a", L"%", L"Incorrect applications (Incorrect symbol(s) found.)"},
        {L"a.exe", L"80a", L"%", L"Incorrect ports (Incorrect symbol(s) found.)"},
        {L"a.exe", L"80", L"10.0.0.9-10.0.0.1",
         L"Incorrect hosts (The second IP in the range cannot be less than the first one.)"},
    };
    for (const Case& c : cases) {
        Preferences p;
        EXPECT_EQ(StoreListTexts(p, c.applications, c.ports, c.hosts), c.message);
    }
    Preferences p;
    EXPECT_EQ(StoreListTexts(p, L"\"My Tool.exe\"; b.exe", L"80, 8080-8088", L"*.example.com"), std::nullopt);
    EXPECT_EQ(p.httpPortsText, L"80, 8080-8088");
    EXPECT_EQ(p.httpPorts, (std::vector<uint32_t>{MakePortRange(80, 80), MakePortRange(8080, 8088)}));
    EXPECT_EQ(p.excludeApplications, (std::vector<std::wstring>{L"My Tool.exe", L"b.exe"}));
    EXPECT_EQ(p.excludeHosts, (std::vector<std::string>{"*.example.com"}));
}

std::vector<std::string> Names(const std::vector<CipherRow>& rows) {
    std::vector<std::string> names;
    for (const CipherRow& row : rows) names.push_back(row.name);
    return names;
}

TEST(CipherSuiteLists, AllowAllLeavesOnlyTheSummaryOnTheDisabledSide) {
    CipherSuiteLists lists = FillCipherSuiteLists(1, {}, "");
    EXPECT_EQ(Names(lists.disabled), (std::vector<std::string>{"0 predefined suites"}));
    EXPECT_EQ(lists.disabled[0].code, kSummaryRow);
    EXPECT_EQ(lists.disabled[0].id, "");
    ASSERT_EQ(lists.allowed.size(), 361u);
    EXPECT_EQ(lists.allowed[0].name, "360 predefined suites");
    EXPECT_EQ(lists.allowed[1].id, "0x0000");
    EXPECT_EQ(lists.allowed[1].name, "TLS_NULL_WITH_NULL_NULL");
    EXPECT_EQ(lists.allowed.back().id, "0xFFE1");

    lists = FillCipherSuiteLists(1, {{0x0005, false}}, "");
    ASSERT_EQ(lists.disabled.size(), 3u);
    EXPECT_EQ(lists.disabled[0].name, "1 customized suites");
    EXPECT_EQ(lists.disabled[1].code, 0x0005);
    EXPECT_EQ(lists.disabled[1].id, "0x0005");
    EXPECT_EQ(lists.disabled[1].name, "TLS_RSA_WITH_RC4_128_SHA");
    EXPECT_EQ(lists.disabled[2].name, "0 predefined suites");
    EXPECT_EQ(lists.allowed[0].name, "359 predefined suites");
}

TEST(CipherSuiteLists, CustomisedSuitesComeFirstInCodeOrderAndUnknownCodesAreUserDefined) {
    const CipherSuiteLists lists = FillCipherSuiteLists(3, {{0xC0FF, true}, {0x0005, true}, {0xC02F, false}}, "");
    ASSERT_GE(lists.allowed.size(), 4u);
    EXPECT_EQ(lists.allowed[0].name, "2 customized suites");
    EXPECT_EQ(lists.allowed[1].code, 0x0005);
    EXPECT_EQ(lists.allowed[2].id, "0xC0FF");
    EXPECT_EQ(lists.allowed[2].name, "USER_DEFINED_C0FF");
    EXPECT_EQ(lists.allowed[3].name, "113 predefined suites") << "114 strong suites less the customised 0xC02F";
    EXPECT_EQ(lists.disabled[0].name, "1 customized suites");
    EXPECT_EQ(lists.disabled[1].code, 0xC02F);
    EXPECT_EQ(lists.disabled[2].name, "245 predefined suites");
}

TEST(CipherSuiteLists, FilterIsCaseSensitiveOverTheNameAndTheUpperCaseCode) {
    const std::map<uint16_t, bool> overrides = {{0x0005, true}, {0xC02F, false}};
    struct Case {
        std::string filter;
        std::vector<std::string> allowed;  // the name of every row
        std::vector<std::string> disabled;
    };
    const Case cases[] = {
        {"ECDHE_RSA_WITH_AES_128_GCM",
         {"1 customized suites (1 filtered from view)", "247 predefined suites (247 filtered from view)"},
         {"1 customized suites (0 filtered from view)", "TLS_ECDHE_RSA_WITH_AES_128_GCM_SHA256",
          "111 predefined suites (111 filtered from view)"}},
        {"ecdhe_rsa",
         {"1 customized suites (1 filtered from view)", "247 predefined suites (247 filtered from view)"},
         {"1 customized suites (1 filtered from view)", "111 predefined suites (111 filtered from view)"}},
        {"0X0005",
         {"1 customized suites (0 filtered from view)", "TLS_RSA_WITH_RC4_128_SHA",
          "247 predefined suites (247 filtered from view)"},
         {"1 customized suites (1 filtered from view)", "111 predefined suites (111 filtered from view)"}},
        {"0x0005",
         {"1 customized suites (1 filtered from view)", "247 predefined suites (247 filtered from view)"},
         {"1 customized suites (1 filtered from view)", "111 predefined suites (111 filtered from view)"}},
        {"0X00F",
         {"1 customized suites (1 filtered from view)", "247 predefined suites (246 filtered from view)",
          "TLS_EMPTY_RENEGOTIATION_INFO_SCSV"},
         {"1 customized suites (1 filtered from view)", "111 predefined suites (111 filtered from view)"}},
    };
    for (const Case& c : cases) {
        const CipherSuiteLists lists = FillCipherSuiteLists(2, overrides, c.filter);
        EXPECT_EQ(Names(lists.allowed), c.allowed) << c.filter;
        EXPECT_EQ(Names(lists.disabled), c.disabled) << c.filter;
    }
}

TEST(CipherSuiteCode, DecimalOrPrefixedHexWithFiveMessages) {
    const std::wstring empty = L"Cannot add cipher suite: code is empty.";
    const std::wstring number = L"Cannot add cipher suite: incorrect code number.";
    const std::wstring format = L"Cannot add cipher suite: incorrect code format.";
    const std::wstring range = L"Cannot add cipher suite: the code must be within 0x0001 and 0xFFFF.";
    const std::pair<std::wstring, std::variant<uint16_t, std::wstring>> cases[] = {
        {L"", empty},
        {L"0x", number},  // too short for hexadecimal: read as the decimal 0
        {L"0", number},
        {L"0x0", number},
        {L"   ", number},
        {L"abc", number},
        {L"0x1G", format},
        {L"12 3", format},
        {L"70000", range},
        {L"0x10000", range},
        {L"99999999999999999999", range},
        {L"0xc02f", uint16_t{0xC02F}},
        {L"0XFFFF", uint16_t{0xFFFF}},
        {L"  49199  ", uint16_t{49199}},
        {L"0x 5", uint16_t{5}},
        {L"1", uint16_t{1}},
    };
    for (const auto& [text, expected] : cases) {
        EXPECT_EQ(ReadCipherSuiteCode(text), expected) << std::string(text.begin(), text.end());
    }
}

TEST(FieldCharacters, EachFieldMarksWhatCannotBelongInIt) {
    struct Case {
        const CharacterRules& rules;
        std::wstring text;
        std::vector<std::size_t> invalid;
    };
    const Case cases[] = {
        {PortsFieldRules(), L"80; 8080-8088", {}},
        {PortsFieldRules(), L"80, 81\n82", {}},  // the ports parser takes commas and line breaks
        {PortsFieldRules(), L"8a0;x", {1, 4}},
        {ProcessesFieldRules(), L"\"My Tool.exe\"; ütil.exe", {}},
        {ProcessesFieldRules(), L"C:\\a/b<c>d|e,f", {1, 2, 4, 6, 8, 10, 12}},
        {HostsFieldRules(), L"*.example.com; 10.0.0.1-10.0.0.9\n::1, h?st%1", {}},
        {HostsFieldRules(), L"ex_ample.com/ü", {2, 12, 13}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(InvalidCharacterPositions(c.rules, c.text), c.invalid) << std::string(c.text.begin(), c.text.end());
    }
}

}  // namespace
}  // namespace hbt
