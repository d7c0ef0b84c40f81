#pragma once
// The line every program prints for --version.
#include <string>
#include <string_view>

namespace hbt {

// The program's name and the full version, then the build label when there
// is one: "hbtctl 1.54.0", "hbtctl 1.55.0rc2 (RC2)".
std::string VersionLine(std::string_view program);

}  // namespace hbt
