#pragma once
// Pieces of the rule list syntax shared by the setters and the removal of
// entries.
#include <string>
#include <string_view>
#include <vector>

namespace hbt {

// Tabs to blanks, carriage returns removed, line feeds and commas to ";",
// then blanks trimmed at both ends and around ";" and around `separator`.
std::wstring NormaliseListText(std::wstring_view text, wchar_t separator);
// The non-empty items between ";".
std::vector<std::wstring> SplitListItems(std::wstring_view normalised);
// The item (lower case) is an address range "A-B" of the host list: its part
// before the first hyphen is an address. Other items with a hyphen are names.
bool IsHostRangeItem(std::string_view lowerItem);

}  // namespace hbt
