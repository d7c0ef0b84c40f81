#include "ui/character_rules.h"

namespace hbt {

bool IsInvalidCharacter(const CharacterRules& rules, wchar_t c) {
    if (rules.forbidden.find(c) != std::wstring::npos) return true;
    if (rules.allowed.empty() || rules.allowed.find(c) != std::wstring::npos) return false;
    for (const auto& [first, last] : rules.allowedRanges) {
        if (c >= first && c <= last) return false;
    }
    return true;
}

std::vector<std::size_t> InvalidCharacterPositions(const CharacterRules& rules, const std::wstring& text) {
    std::vector<std::size_t> positions;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (IsInvalidCharacter(rules, text[i])) positions.push_back(i);
    }
    return positions;
}

// The list parsers take commas for semicolons, and the ports parser line
// breaks and tabs as well, so those are not marked either.
const CharacterRules& PortsFieldRules() {
    static const CharacterRules rules{L"0123456789;- ,\t\r\n", L"", {}};
    return rules;
}

const CharacterRules& ProcessesFieldRules() {
    static const CharacterRules rules{L"", L"\\/:<>|,", {}};
    return rules;
}

const CharacterRules& HostsFieldRules() {
    static const CharacterRules rules{L";?*-.% \n\r\t:,", L"", {{L'0', L'9'}, {L'a', L'z'}, {L'A', L'Z'}}};
    return rules;
}

}  // namespace hbt
