#include "hsts/sts_header.h"

#include <gtest/gtest.h>

#include <string>

namespace hbt {
namespace {

constexpr uint64_t kYear = 31536000;

struct HeaderCase {
    const char* name;
    const char* value;
    std::optional<StsDirectives> expected;
};

const HeaderCase kHeaderCases[] = {
    // The examples of RFC 6797, section 6.2.
    {"RfcYearWithSubdomains", "max-age=31536000; includeSubDomains", StsDirectives{kYear, true}},
    {"RfcQuotedYear", "max-age=\"31536000\"", StsDirectives{kYear, false}},
    {"RfcZeroWithdraws", "max-age=0", StsDirectives{0, false}},
    {"RfcZeroWithSubdomains", "max-age=0; includeSubDomains", StsDirectives{0, true}},
    // Case, order, blanks and empty directives.
    {"NamesInAnyCase", "MAX-AGE=5;INCLUDESUBDOMAINS", StsDirectives{5, true}},
    {"AnyOrder", "includeSubDomains; preload; max-age=7", StsDirectives{7, true}},
    {"BlanksAroundTheEqualsSign", "  max-age = 9 ;\tincludeSubDomains  ", StsDirectives{9, true}},
    {"EmptyDirectives", ";;max-age=3;;", StsDirectives{3, false}},
    {"UnknownDirectiveWithQuotedValue", "max-age=3; report-uri=\"https://x.example/a;b\"", StsDirectives{3, false}},
    {"QuotedPairInUnknownValue", "foo=\"a\\\"b\"; max-age=4", StsDirectives{4, false}},
    // A promise longer than the store keeps is cut to its limit.
    {"HugeMaxAgeCapped", "max-age=99999999999999999999999999", StsDirectives{kMaxPromiseSeconds, false}},
    {"JustBeyondTheLimit", "max-age=63072001", StsDirectives{kMaxPromiseSeconds, false}},
    // Invalid headers make no promise at all.
    {"MissingMaxAge", "includeSubDomains", std::nullopt},
    {"EmptyHeader", "", std::nullopt},
    {"MaxAgeTwice", "max-age=1; max-age=2", std::nullopt},
    {"MaxAgeTwiceInOtherCase", "max-age=1; Max-Age=1", std::nullopt},
    {"SubdomainsTwice", "max-age=1; includeSubDomains; includesubdomains", std::nullopt},
    {"UnknownDirectiveTwice", "max-age=1; preload; preload", std::nullopt},
    {"MaxAgeWithoutValue", "max-age", std::nullopt},
    {"MaxAgeEmpty", "max-age=", std::nullopt},
    {"MaxAgeQuotedEmpty", "max-age=\"\"", std::nullopt},
    {"MaxAgeNegative", "max-age=-1", std::nullopt},
    {"MaxAgeSigned", "max-age=+1", std::nullopt},
    {"MaxAgeNotANumber", "max-age=1a", std::nullopt},
    {"MaxAgeFraction", "max-age=1.5", std::nullopt},
    {"SubdomainsWithValue", "max-age=1; includeSubDomains=yes", std::nullopt},
    {"MissingSemicolon", "max-age=1 includeSubDomains", std::nullopt},
    {"UnterminatedQuote", "max-age=\"1", std::nullopt},
    {"SeparatorInName", "max-age=1; a/b", std::nullopt},
};

class StsHeaderValueTest : public ::testing::TestWithParam<HeaderCase> {};

TEST_P(StsHeaderValueTest, Parses) {
    EXPECT_EQ(ParseStsHeaderValue(GetParam().value), GetParam().expected) << GetParam().value;
}

INSTANTIATE_TEST_SUITE_P(Rfc6797, StsHeaderValueTest, ::testing::ValuesIn(kHeaderCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(StsHeaderInHeadTest, FirstFieldCountsWhateverItsLetterCase) {
    EXPECT_EQ(StsPromiseOf("HTTP/1.1 200 OK\r\nServer: x\r\nstrict-TRANSPORT-security: max-age=60\r\n\r\n"),
              (StsDirectives{60, false}));
    // Only the first field counts, even when it is invalid.
    EXPECT_EQ(StsPromiseOf("HTTP/1.1 301 Moved\r\nStrict-Transport-Security: max-age=60\r\n"
                           "Strict-Transport-Security: max-age=0\r\n\r\n"),
              (StsDirectives{60, false}));
    EXPECT_EQ(StsPromiseOf("HTTP/1.1 200 OK\r\nStrict-Transport-Security: max-age=x\r\n"
                           "Strict-Transport-Security: max-age=60\r\n\r\n"),
              std::nullopt);
    // Lines ended by a line feed alone, and a field in the last line of a cut head.
    EXPECT_EQ(StsPromiseOf("HTTP/1.0 200 OK\nStrict-Transport-Security:max-age=1\n\n"), (StsDirectives{1, false}));
    EXPECT_EQ(StsPromiseOf("HTTP/1.0 200 OK\r\nStrict-Transport-Security: max-age=2"), (StsDirectives{2, false}));
}

TEST(StsHeaderInHeadTest, LookalikesAreNoField) {
    EXPECT_EQ(StsPromiseOf("HTTP/1.1 200 OK\r\nX-Strict-Transport-Security: max-age=60\r\n\r\n"), std::nullopt);
    EXPECT_EQ(StsPromiseOf("HTTP/1.1 200 OK\r\nStrict-Transport-Security : max-age=60\r\n\r\n"), std::nullopt);
    EXPECT_EQ(StsPromiseOf("Strict-Transport-Security: max-age=60\r\n\r\n"), std::nullopt);  // the status line
    EXPECT_EQ(StsPromiseOf("HTTP/1.1 200 OK\r\n\r\n"), std::nullopt);
}

}  // namespace
}  // namespace hbt
