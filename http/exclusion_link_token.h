#pragma once
// The random token that every "add to the exclusion list" link of a block page
// carries. It is made once per run, so that no other web page can forge such a
// link and switch enforcement off for a host of its choosing.
#include <string>

namespace hbt {

// 22 URL-safe characters (128 random bits), the same for the whole run.
const std::string& ExclusionLinkToken();
// Compares in constant time.
bool IsExclusionLinkToken(const std::string& candidate);

}  // namespace hbt
