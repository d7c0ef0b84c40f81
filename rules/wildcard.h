#pragma once
#include <string_view>

namespace hbt {

// Byte-wise, case-sensitive match: "?" matches one character, "*" any run
// (also empty); pattern and name must both be consumed.
bool WildcardMatch(std::string_view pattern, std::string_view name);

}  // namespace hbt
