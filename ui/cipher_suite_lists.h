#pragma once
// The two lists of the cipher suites dialog: which suites the base mode
// allows, which the user has customised, and what a filter hides.
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace hbt {

// Summary rows carry this instead of a suite code.
inline constexpr int32_t kSummaryRow = -1;

struct CipherRow {
    int32_t code;
    std::string id;
    std::string name;
};

struct CipherSuiteLists {
    std::vector<CipherRow> allowed;
    std::vector<CipherRow> disabled;
};

// Each side: the customised suites in code order under their summary row
// (only when there are some), then the summary row of the predefined suites
// and those in catalogue order. An empty filter shows every row; otherwise a
// row shows when the filter occurs, case-sensitively, in its name or in "0X"
// and its four hexadecimal digits.
CipherSuiteLists FillCipherSuiteLists(int32_t baseMode, const std::map<uint16_t, bool>& overrides,
                                      const std::string& filter);

}  // namespace hbt
