#include <gtest/gtest.h>

#include <string>

#include "HbtEngineDrv/engine/capture_pattern.h"
#include "HbtEngineDrv/engine/request_line_insertion.h"
#include "engine_protocol/nfe_config.h"

namespace hbt {
namespace {

bool Matches(const NfeConfig& c, const std::vector<uint8_t>& data) {
    return MatchesCapturePattern(c, data.data(), data.size());
}

TEST(CapturePatternTest, MaskedPrefixMatch) {
    NfeConfig c;
    ASSERT_TRUE(c.AppendCapturePattern({0x16, 0x03, 0x00}, {0xFF, 0xFF, 0x00}));  // any minor version
    ASSERT_TRUE(c.AppendCapturePattern({'G', 'E', 'T'}, {0xDF, 0xDF, 0xDF}));    // letter case ignored
    EXPECT_TRUE(Matches(c, {0x16, 0x03, 0x01, 0x00}));
    EXPECT_TRUE(Matches(c, {0x16, 0x03, 0x7F}));
    EXPECT_FALSE(Matches(c, {0x16, 0x02, 0x01}));
    EXPECT_TRUE(Matches(c, {'g', 'e', 't', ' '}));
    EXPECT_FALSE(Matches(c, {0x16, 0x03}));  // shorter than the pattern: skipped
    EXPECT_FALSE(Matches(NfeConfig{}, {0x16, 0x03, 0x01}));
}

TEST(CapturePatternTest, EntryRunningToIndex100EndsTheList) {
    NfeConfig c;
    c.capturePatterns[0] = 1;
    c.capturePatterns[1] = 'A';
    c.captureMasks[0] = 1;
    c.captureMasks[1] = 0xFF;
    // Second entry at index 2 with 97 bytes ends exactly at index 100.
    c.capturePatterns[2] = 97;
    for (int i = 3; i < 100; ++i) {
        c.capturePatterns[i] = 'B';
        c.captureMasks[i] = 0xFF;
    }
    EXPECT_TRUE(Matches(c, {'A'}));
    EXPECT_FALSE(Matches(c, std::vector<uint8_t>(97, 'B')));
    c.capturePatterns[2] = 96;  // now ends at 99: a valid entry
    EXPECT_TRUE(Matches(c, std::vector<uint8_t>(96, 'B')));
}

TEST(InsertionHostPatternTest, Wildcards) {
    struct Case {
        const char* pattern;
        const char* text;
        bool expected;
    };
    const Case cases[] = {
        {"example.org", "example.org", true},
        {"example.org", "example.org.evil", false},
        {"example.org", "example.or", false},
        {"*.example.org", "www.example.org", true},
        {"*.example.org", "example.org", false},
        {"*", "anything", true},
        {"ex*", "example", true},
        {"intra?et", "intranet", true},
        {"intra?et", "intraet", false},
        {"example", "EXAMPLE", true},  // lower-case pattern letters take upper case
        {"EXAMPLE", "example", false},
        {"a*c", "abcbc", false},  // "*" stops at the first "c"; no backtracking
        {"a*c", "abbc", true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(MatchInsertionHostPattern(c.pattern, c.text), c.expected) << c.pattern << " / " << c.text;
    }
}

TEST(RequestLineInsertionTest, NeedsPrefixTerminatorAndLineFeed) {
    NfeConfig c;
    const std::string prefix = "CONNECT ";
    std::copy(prefix.begin(), prefix.end(), c.insertionPrefix.begin());
    c.insertionTerminator = ':';
    const std::string patterns = std::string("*") + '\0';
    std::copy(patterns.begin(), patterns.end(), c.insertionHostPatterns.begin());
    c.insertionData[0] = 'Z';
    c.insertionData[1] = '\n';
    c.insertionDataLength = 2;
    auto build = [&](const std::string& s) {
        auto out = BuildRequestLineInsertion(c, std::vector<uint8_t>(s.begin(), s.end()));
        return out ? std::string(out->begin(), out->end()) : std::string("<none>");
    };
    EXPECT_EQ(build("CONNECT host:443 HTTP/1.1\nrest"), "CONNECT host:443 HTTP/1.1\nZ\nrest");
    EXPECT_EQ(build("CONNECT host:443 HTTP/1.1"), "<none>");  // no line feed
    EXPECT_EQ(build("CONNECT host HTTP/1.1\n"), "<none>");    // no terminator
    EXPECT_EQ(build("GET host:443 HTTP/1.1\n"), "<none>");    // prefix differs
    c.insertionPrefix = {};
    EXPECT_EQ(build("\nx:"), "<none>");  // line feed first
}

}  // namespace
}  // namespace hbt
