#include "tls_inspect/cipher_policy.h"

#include "tls_inspect/cipher_suite_catalogue.h"

namespace hbt {
namespace {
constexpr int32_t kSafeOnly = 2;
constexpr int32_t kCustom = 128;
}  // namespace

bool IsCipherSuiteAllowed(int32_t policyKind, int32_t baseLevel, const std::map<uint16_t, bool>& overrides,
                          uint16_t code) {
    if (policyKind < kSafeOnly) return true;
    int32_t threshold = policyKind;
    if (policyKind == kCustom) {
        if (const auto it = overrides.find(code); it != overrides.end()) return it->second;
        threshold = baseLevel;
    }
    if (const CipherSuiteInfo* row = FindCipherSuite(code)) return row->level >= threshold;
    return threshold <= kSafeOnly;
}

}  // namespace hbt
