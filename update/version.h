#pragma once
// The program's version and the texts derived from it.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace hbt {

inline constexpr char kFullVersion[] = "1.54.0";

// Derived texts are cut to 19 characters.
inline constexpr std::size_t kVersionTextLimit = 19;

// The version cut before its last full stop ("1.54"), or all of it.
std::string ShortVersionOf(std::string_view fullVersion);
// "major.minor" of a short version as major * 10000 + minor * 100; an
// unreadable part counts as 0.
uint32_t VersionNumberOf(std::string_view shortVersion);
// "RC…", "Dev …", "Alpha …", "Beta …" or empty.
std::string BuildLabelOf(std::string_view fullVersion);

// The running program's values, computed once.
const std::string& ShortVersion();
uint32_t VersionNumber();
const std::string& BuildLabel();
// "v" + short version + " " + build label, as the banner and the log window show it.
std::string VersionBannerText();

}  // namespace hbt
