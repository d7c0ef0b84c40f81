#include "ui/cipher_suite_lists.h"

#include <cstdio>

#include "tls_inspect/cipher_suite_catalogue.h"

namespace hbt {
namespace {

std::string HexDigits(uint16_t code) {
    char digits[5];
    std::snprintf(digits, sizeof digits, "%04X", code);
    return digits;
}

// Fills one block of a side and answers how many of its suites the filter hid.
class SideFiller {
public:
    SideFiller(std::vector<CipherRow>& rows, const std::string& filter) : rows_(rows), filter_(filter) {}

    void Add(uint16_t code) {
        ++count_;
        std::string name = CipherSuiteName(code, "USER_DEFINED_", true);
        const std::string hex = HexDigits(code);
        if (!filter_.empty() && name.find(filter_) == std::string::npos &&
            ("0X" + hex).find(filter_) == std::string::npos) {
            ++hidden_;
            return;
        }
        rows_.push_back({code, "0x" + hex, std::move(name)});
    }
    // The block's summary row, placed at `at`.
    void Summarise(std::size_t at, const char* what) {
        std::string name = std::to_string(count_) + what;
        if (!filter_.empty()) name += " (" + std::to_string(hidden_) + " filtered from view)";
        rows_.insert(rows_.begin() + static_cast<std::ptrdiff_t>(at), {kSummaryRow, "", std::move(name)});
        count_ = hidden_ = 0;
    }
    std::size_t Count() const { return count_; }

private:
    std::vector<CipherRow>& rows_;
    const std::string& filter_;
    std::size_t count_ = 0;
    std::size_t hidden_ = 0;
};

void FillSide(bool allowedSide, int32_t baseMode, const std::map<uint16_t, bool>& overrides,
              const std::string& filter, std::vector<CipherRow>& rows) {
    SideFiller filler(rows, filter);
    for (const auto& [code, allowed] : overrides) {
        if (allowed == allowedSide) filler.Add(code);
    }
    if (filler.Count() > 0) filler.Summarise(0, " customized suites");
    const std::size_t predefinedStart = rows.size();
    for (const CipherSuiteInfo& suite : CipherSuiteCatalogue()) {
        if ((suite.level >= baseMode) == allowedSide && !overrides.contains(suite.code)) filler.Add(suite.code);
    }
    filler.Summarise(predefinedStart, " predefined suites");
}

}  // namespace

CipherSuiteLists FillCipherSuiteLists(int32_t baseMode, const std::map<uint16_t, bool>& overrides,
                                      const std::string& filter) {
    CipherSuiteLists lists;
    FillSide(true, baseMode, overrides, filter, lists.allowed);
    FillSide(false, baseMode, overrides, filter, lists.disabled);
    return lists;
}

}  // namespace hbt
