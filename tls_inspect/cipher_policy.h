#pragma once
// Whether a cipher suite is allowed under the user's cipher policy.
#include <cstdint>
#include <map>

namespace hbt {

// Kinds are the cipher suite modes of the preferences (1, 2, 3, 128).
// Kind below 2 allows everything. Kind 128 answers from `overrides` when it
// holds the code and otherwise uses `baseLevel` as the threshold; kinds 2 and
// 3 are their own threshold. A catalogued suite passes when its level reaches
// the threshold; an unknown code passes when the threshold is 2 or less.
bool IsCipherSuiteAllowed(int32_t policyKind, int32_t baseLevel, const std::map<uint16_t, bool>& overrides,
                          uint16_t code);

}  // namespace hbt
