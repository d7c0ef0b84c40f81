#include "update/version_line.h"

#include "update/version.h"

namespace hbt {

std::string VersionLine(std::string_view program) {
    std::string line = std::string(program) + " " + kFullVersion;
    if (!BuildLabel().empty()) line += " (" + BuildLabel() + ")";
    return line;
}

}  // namespace hbt
