#pragma once
// What the Options dialog does with the record, without the widgets: the
// cipher mode list, the version boxes, the checks of OK and the three lists.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "rules/preferences.h"

namespace hbt {

// The entries of the cipher mode list; the cipher suites dialog's base mode
// list shows the first three.
inline constexpr int kCipherIndexAllowAll = 0;
inline constexpr int kCipherIndexSafeOnly = 1;
inline constexpr int kCipherIndexSafeOnlyFf = 2;
inline constexpr int kCipherIndexCustom = 3;
inline constexpr std::array<const char*, 4> kCipherModeTexts = {"Allow All", "Allow Safe Only",
                                                                "Allow Safe Only with FF", "Custom"};

int CipherModeIndex(int32_t mode);
// A predefined entry sets mode and base and drops the customised entries;
// "Custom" keeps the base.
void SetCipherModeFromIndex(Preferences& record, int index);

// The version boxes in the order the dialog shows them.
struct VersionBox {
    uint16_t code;
    const char* text;
};
inline constexpr std::array<VersionBox, 6> kVersionBoxes = {{{kVersionSsl2, "SSL 2"},
                                                             {kVersionSsl3, "SSL 3"},
                                                             {kVersionTls10, "TLS 1.0"},
                                                             {kVersionTls11, "TLS 1.1"},
                                                             {kVersionTls12, "TLS 1.2"},
                                                             {kVersionTls13, "TLS 1.3"}}};
using VersionTicks = std::array<bool, kVersionBoxes.size()>;

// A box is ticked when its code is in the list; the early TLS 1.3 code has no box.
VersionTicks VersionTicksFromList(const std::vector<uint16_t>& versions);
// Newest first, the early TLS 1.3 code last, with TLS 1.3.
std::vector<uint16_t> AllowedVersionsFromTicks(const VersionTicks& ticks);
bool LegacySslTicked(const VersionTicks& ticks);

// What OK makes of ticked SSL 2 or SSL 3 with the chosen cipher mode entry.
enum class LegacySslVerdict { kFine, kRefused, kAskUser };
LegacySslVerdict JudgeLegacySsl(const VersionTicks& ticks, int cipherIndex);

// Parses the processes, then the ports, then the hosts into the record; the
// first failure answers the message the user sees.
std::optional<std::wstring> StoreListTexts(Preferences& record, const std::wstring& applications,
                                           const std::wstring& ports, const std::wstring& hosts);

// Copies the fields the Options dialog edits, and only those, so that what
// changed elsewhere while it was open (the switch, the mode) stays.
void TakeOptionsFields(Preferences& into, const Preferences& from);

}  // namespace hbt
