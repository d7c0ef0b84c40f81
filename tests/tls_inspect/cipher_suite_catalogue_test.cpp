#include "tls_inspect/cipher_suite_catalogue.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <utility>
#include <vector>

#include "tls_inspect/cipher_policy.h"
#include "tls_inspect/tls_version_names.h"

namespace hbt {
namespace {

using Ranges = std::vector<std::pair<uint16_t, uint16_t>>;

// The level assignment as the product documents it, range by range.
const std::map<int, Ranges>& DocumentedLevels() {
    static const std::map<int, Ranges> levels{
        {1, {{0x0000, 0x0006}, {0x0008, 0x001C}, {0x001E, 0x0020}, {0x0022, 0x002E}, {0x0034, 0x0034},
             {0x003A, 0x003B}, {0x0046, 0x0046}, {0x0060, 0x0066}, {0x006C, 0x006D}, {0x0082, 0x0083},
             {0x0089, 0x008B}, {0x008E, 0x008F}, {0x0092, 0x0093}, {0x009B, 0x009B}, {0x00A6, 0x00A7},
             {0x00B0, 0x00B1}, {0x00B4, 0x00B5}, {0x00B8, 0x00B9}, {0x00BF, 0x00BF}, {0x00C5, 0x00C5},
             {0xC001, 0xC003}, {0xC006, 0xC008}, {0xC00B, 0xC00D}, {0xC010, 0xC012}, {0xC015, 0xC01C},
             {0xC033, 0xC034}, {0xC039, 0xC03B}, {0xC046, 0xC047}, {0xC05A, 0xC05B}, {0xC084, 0xC085},
             {0xFEFE, 0xFEFF}, {0xFFE0, 0xFFE1}}},
        {2, {{0x0007, 0x0007}, {0x001D, 0x001D}, {0x0021, 0x0021}, {0x002F, 0x0031}, {0x0035, 0x0037},
             {0x003C, 0x003F}, {0x0041, 0x0043}, {0x0068, 0x0069}, {0x0080, 0x0081}, {0x0084, 0x0086},
             {0x008C, 0x008D}, {0x0094, 0x0098}, {0x009C, 0x009D}, {0x00A0, 0x00A1}, {0x00A4, 0x00A5},
             {0x00A8, 0x00A9}, {0x00AC, 0x00AF}, {0x00B6, 0x00B7}, {0x00BA, 0x00BC}, {0x00C0, 0x00C2},
             {0x00FF, 0x00FF}, {0x5600, 0x5600}, {0xC004, 0xC005}, {0xC00E, 0xC00F}, {0xC01D, 0xC022},
             {0xC025, 0xC026}, {0xC029, 0xC02A}, {0xC02D, 0xC02E}, {0xC031, 0xC032}, {0xC03C, 0xC041},
             {0xC04A, 0xC04B}, {0xC04E, 0xC051}, {0xC054, 0xC055}, {0xC058, 0xC059}, {0xC05E, 0xC05F},
             {0xC062, 0xC065}, {0xC068, 0xC06B}, {0xC06E, 0xC06F}, {0xC074, 0xC075}, {0xC078, 0xC07B},
             {0xC07E, 0xC07F}, {0xC082, 0xC083}, {0xC088, 0xC089}, {0xC08C, 0xC08F}, {0xC092, 0xC095},
             {0xC098, 0xC099}, {0xC09C, 0xC09D}, {0xC0A0, 0xC0A1}, {0xC0A4, 0xC0A5}, {0xC0A8, 0xC0A9},
             {0xE410, 0xE411}, {0xE416, 0xE417}, {0xE41A, 0xE41B}}},
        {3, {{0x0032, 0x0033}, {0x0038, 0x0039}, {0x0040, 0x0040}, {0x0044, 0x0045}, {0x0067, 0x0067},
             {0x006A, 0x006B}, {0x0087, 0x0088}, {0x0090, 0x0091}, {0x0099, 0x009A}, {0x009E, 0x009F},
             {0x00A2, 0x00A3}, {0x00AA, 0x00AB}, {0x00B2, 0x00B3}, {0x00BD, 0x00BE}, {0x00C3, 0x00C4},
             {0x1301, 0x1305}, {0xC009, 0xC00A}, {0xC013, 0xC014}, {0xC023, 0xC024}, {0xC027, 0xC028},
             {0xC02B, 0xC02C}, {0xC02F, 0xC030}, {0xC035, 0xC038}, {0xC042, 0xC045}, {0xC048, 0xC049},
             {0xC04C, 0xC04D}, {0xC052, 0xC053}, {0xC056, 0xC057}, {0xC05C, 0xC05D}, {0xC060, 0xC061},
             {0xC066, 0xC067}, {0xC06C, 0xC06D}, {0xC070, 0xC073}, {0xC076, 0xC077}, {0xC07C, 0xC07D},
             {0xC080, 0xC081}, {0xC086, 0xC087}, {0xC08A, 0xC08B}, {0xC090, 0xC091}, {0xC096, 0xC097},
             {0xC09A, 0xC09B}, {0xC09E, 0xC09F}, {0xC0A2, 0xC0A3}, {0xC0A6, 0xC0A7}, {0xC0AA, 0xC0AF},
             {0xCC13, 0xCC15}, {0xE412, 0xE415}, {0xE418, 0xE419}, {0xE41C, 0xE41F}}},
    };
    return levels;
}

TEST(CipherSuiteCatalogueTest, HoldsEveryCodeOnceSortedWithTheDocumentedLevels) {
    const auto catalogue = CipherSuiteCatalogue();
    ASSERT_EQ(catalogue.size(), 360u);
    for (std::size_t i = 1; i < catalogue.size(); ++i) EXPECT_LT(catalogue[i - 1].code, catalogue[i].code);

    const std::map<int, std::size_t> expectedCounts{{1, 112}, {2, 134}, {3, 114}};
    std::set<uint16_t> documented;
    for (const auto& [level, ranges] : DocumentedLevels()) {
        std::size_t count = 0;
        for (auto [first, last] : ranges) {
            for (uint32_t code = first; code <= last; ++code, ++count) {
                const CipherSuiteInfo* row = FindCipherSuite(static_cast<uint16_t>(code));
                ASSERT_NE(row, nullptr) << std::hex << code;
                EXPECT_EQ(row->level, level) << std::hex << code;
                documented.insert(static_cast<uint16_t>(code));
            }
        }
        EXPECT_EQ(count, expectedCounts.at(level)) << "level " << level;
    }
    EXPECT_EQ(documented.size(), catalogue.size());
    for (const CipherSuiteInfo& row : catalogue) {
        EXPECT_FALSE(row.name.empty());
        EXPECT_TRUE(documented.count(row.code)) << std::hex << row.code;
    }
}

TEST(CipherSuiteCatalogueTest, NamesWithAndWithoutPrefix) {
    EXPECT_EQ(CipherSuiteName(0x1301), "TLS_AES_128_GCM_SHA256");
    EXPECT_EQ(FindCipherSuite(0x1301)->level, 3);
    EXPECT_EQ(CipherSuiteName(0x00FF), "TLS_EMPTY_RENEGOTIATION_INFO_SCSV");
    EXPECT_EQ(FindCipherSuite(0x00FF)->level, 2);
    EXPECT_EQ(CipherSuiteName(0x000A), "TLS_RSA_WITH_3DES_EDE_CBC_SHA");
    EXPECT_EQ(CipherSuiteName(0xFEFE), "SSL_RSA_FIPS_WITH_DES_CBC_SHA");
    EXPECT_EQ(CipherSuiteName(0xFFE1), "SSL_RSA_FIPS_WITH_DES_CBC_SHA");
    EXPECT_EQ(CipherSuiteName(0xFEFF), "SSL_RSA_FIPS_WITH_3DES_EDE_CBC_SHA");
    EXPECT_EQ(CipherSuiteName(0xFFE0), "SSL_RSA_FIPS_WITH_3DES_EDE_CBC_SHA");
    EXPECT_EQ(CipherSuiteName(0xE41F), "TLS_DHE_RSA_WITH_SALSA20_SHA1");
    EXPECT_EQ(CipherSuiteName(0xC0FF), "");
    EXPECT_EQ(CipherSuiteName(0xC0FF, "USER_DEFINED_", true), "USER_DEFINED_C0FF");
    EXPECT_EQ(CipherSuiteName(0x000B, "USER_DEFINED_", true), "TLS_DH_DSS_EXPORT_WITH_DES40_CBC_SHA");
    EXPECT_EQ(CipherSuiteName(0x0047, "X_", true), "X_0047");
    EXPECT_EQ(FindCipherSuite(0x1A1A), nullptr);
}

TEST(CipherPolicyTest, KindsThresholdsAndOverrides) {
    const std::map<uint16_t, bool> none;
    const std::map<uint16_t, bool> overrides{{0x002F, true}, {0xC02F, false}};
    struct Case {
        int32_t kind;
        int32_t base;
        const std::map<uint16_t, bool>& overrides;
        uint16_t code;
        bool allowed;
    };
    const Case cases[] = {
        {1, 1, none, 0x0000, true},        {1, 1, none, 0x1A1A, true},
        {2, 2, none, 0x000A, false},       {2, 2, none, 0x002F, true},
        {2, 2, none, 0xC02F, true},        {2, 2, none, 0x1A1A, true},
        {3, 3, none, 0xC02F, true},        {3, 3, none, 0x002F, false},
        {3, 3, none, 0x1A1A, false},       {128, 3, overrides, 0x002F, true},
        {128, 3, overrides, 0xC02F, false}, {128, 3, overrides, 0xC030, true},
        {128, 3, overrides, 0x1A1A, false}, {128, 1, none, 0x0000, true},
        {128, 2, none, 0x0005, false},     {128, 2, none, 0x1A1A, true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(IsCipherSuiteAllowed(c.kind, c.base, c.overrides, c.code), c.allowed)
            << "kind " << c.kind << " base " << c.base << " code " << std::hex << c.code;
    }
}

TEST(TlsVersionNamesTest, NamesAndListTexts) {
    const std::pair<uint16_t, const char*> names[] = {
        {0x0200, "SSL 2"},   {0x0201, "0x0201"},  {0x0300, "SSL 3"},   {0x0301, "TLS 1.0"},
        {0x0303, "TLS 1.2"}, {0x0304, "TLS 1.3"}, {0x0305, "TLS 1.4"}, {0x7F17, "TLS 1.3 Draft 23"},
        {0x7F12, "TLS 1.3 Draft 18"}, {0x0002, "0x0002"}, {0x0A0A, "0x0a0a"}, {0xFAFA, "0xfafa"},
    };
    for (auto [code, name] : names) EXPECT_EQ(TlsVersionName(code), name) << std::hex << code;

    EXPECT_EQ(TlsVersionListText({}), "NULL");
    const std::vector<uint16_t> ssl2{0x0200};
    EXPECT_EQ(TlsVersionListText(ssl2), "SSL 2");
    const std::vector<uint16_t> legacy{0x0303, 0x0302, 0x0301};
    EXPECT_EQ(TlsVersionListText(legacy), "TLS 1.2 (TLS 1.1, TLS 1.0)");
    const std::vector<uint16_t> two{0x1A1A, 0x0304};
    EXPECT_EQ(TlsVersionListText(two), "0x1a1a (TLS 1.3)");
}

}  // namespace
}  // namespace hbt
