#pragma once
// Whether a cipher suite is allowed under the user's cipher policy.
#include <cstdint>
#include <map>

namespace hbt {

inline constexpr int32_t kCipherPolicyAllowAll = 1;
inline constexpr int32_t kCipherPolicySafeOnly = 2;
inline constexpr int32_t kCipherPolicySafeOnlyWithFs = 3;
inline constexpr int32_t kCipherPolicyCustom = 128;

// Kind below 2 allows everything. Kind 128 answers from `overrides` when it
// holds the code and otherwise uses `baseLevel` as the threshold; kinds 2 and
// 3 are their own threshold. A catalogued suite passes when its level reaches
// the threshold; an unknown code passes when the threshold is 2 or less.
bool IsCipherSuiteAllowed(int32_t policyKind, int32_t baseLevel, const std::map<uint16_t, bool>& overrides,
                          uint16_t code);

}  // namespace hbt
