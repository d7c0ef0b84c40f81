#include "rules/wildcard.h"

namespace hbt {

bool WildcardMatch(std::string_view pattern, std::string_view name) {
    std::size_t p = 0, n = 0;
    // Position after the last "*" seen and the name position it was tried at;
    // on a mismatch that star swallows one more character.
    std::size_t starP = std::string_view::npos, starN = 0;
    while (n < name.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            starP = ++p;
            starN = n;
        } else if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == name[n])) {
            ++p;
            ++n;
        } else if (starP != std::string_view::npos) {
            p = starP;
            n = ++starN;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

}  // namespace hbt
