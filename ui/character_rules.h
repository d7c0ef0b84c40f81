#pragma once
// Which characters can belong in a list field of the Options dialog. The
// field only marks the others; the list's parser decides on OK.
#include <string>
#include <utility>
#include <vector>

namespace hbt {

struct CharacterRules {
    std::wstring allowed;    // empty: everything that is not forbidden
    std::wstring forbidden;
    std::vector<std::pair<wchar_t, wchar_t>> allowedRanges;  // inclusive
};

bool IsInvalidCharacter(const CharacterRules& rules, wchar_t c);
// Positions of the invalid characters, ascending.
std::vector<std::size_t> InvalidCharacterPositions(const CharacterRules& rules, const std::wstring& text);

// The rules of the ports, processes and hosts fields.
const CharacterRules& PortsFieldRules();
const CharacterRules& ProcessesFieldRules();
const CharacterRules& HostsFieldRules();

}  // namespace hbt
