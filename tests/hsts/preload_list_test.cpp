#include "hsts/preload_list_json.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace hbt {
namespace {

using ::testing::ElementsAre;

// The layout of Chromium's list, with its comment lines, pin sets and entries
// of every kind.
constexpr char kList[] = R"(// Copyright of the list's authors.
// Comment lines may come anywhere outside strings.
{
  "pinsets": [
    { "name": "test", "static_spki_hashes": [ "TestSPKI" ], "report_uri": "http://report.example/" }
  ],
  "entries": [
    // Pins only: no mode.
    { "name": "pinned.example", "policy": "test", "pins": "test", "include_subdomains": true },
    { "name": "Secure.Example", "policy": "custom", "mode": "force-https", "include_subdomains": true },
    { "name": "exact.example", "policy": "custom", "mode": "force-https" },
    { "name": "dev", "policy": "public-suffix", "mode": "force-https", "include_subdomains": true },
    { "name": "other.example", "mode": "something-else" },
    { "name": "192.0.2.1", "mode": "force-https" },
    { "name": "esc\u0061ped.example", "mode": "force-https", "include_subdomains": false, "expect_ct": [1, 2.5e3, null] }
  ]
}
)";

TEST(PreloadListTest, ReadsForceHttpsEntriesAndCountsTheRest) {
    std::string error;
    const auto import = ReadChromiumPreloadList(kList, error);
    ASSERT_TRUE(import) << error;
    EXPECT_THAT(import->hosts, ElementsAre(PreloadedHost{"secure.example", true}, PreloadedHost{"exact.example", false},
                                           PreloadedHost{"dev", true}, PreloadedHost{"escaped.example", false}));
    EXPECT_EQ(import->otherModes, 2u);
    EXPECT_EQ(import->invalidNames, 1u);
}

TEST(PreloadListTest, MalformedListsNameTheLine) {
    struct Case {
        const char* text;
        const char* error;
    };
    const Case cases[] = {
        {"{ \"entries\": [ { \"name\": \"a.example\" \"mode\": \"force-https\" } ] }", "line 1: '}' expected"},
        {"{\n\"entries\": [\n{ \"name\": \"a.example\", \"include_subdomains\": 1 }\n] }",
         "line 3: true or false expected"},
        {"{ \"pinsets\": [] }", "line 1: an \"entries\" list expected"},
        {"[]", "line 1: '{' expected"},
        {"{ \"entries\": [] } extra", "line 1: end of text expected"},
        {"{ \"entries\": [ { \"name\": \"unterminated } ] }", "line 1: '\"' expected"},
    };
    for (const Case& c : cases) {
        std::string error;
        EXPECT_FALSE(ReadChromiumPreloadList(c.text, error)) << c.text;
        EXPECT_EQ(error, c.error) << c.text;
    }
}

}  // namespace
}  // namespace hbt
