#pragma once
// Changing one stored preference by its key, through the same setters and
// encodings the interface uses.
#include <string>

#include "rules/preferences.h"

namespace hbt::ctl {

enum class EditResult { kChanged, kRefused, kUnknownKey };

// key is a stored name ("httpPorts") or "Section/name" as `prefs show` prints
// it. On kRefused, message says why and the record is unchanged.
EditResult SetPreference(Preferences& preferences, const std::string& key, const std::wstring& value,
                         std::wstring& message);

// A key of the TLS policy (versions and cipher suites), which only Strict
// Mode applies.
bool IsTlsPolicyKey(const std::string& key);

// The keys SetPreference knows, for the usage text.
const char* EditableKeysText();

}  // namespace hbt::ctl
