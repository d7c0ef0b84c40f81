#include "HbtEngineDrv/engine/request_line_insertion.h"

#include <algorithm>
#include <cstring>

#include "engine_protocol/nfe_config.h"

namespace hbt {

namespace {

bool CharMatches(char patternChar, char textChar) {
    if (patternChar == '?' || patternChar == textChar) return true;
    return patternChar >= 'a' && patternChar <= 'z' && textChar == patternChar - 'a' + 'A';
}

// Any pattern of the zero-separated list (ending with an empty one) matches the text.
bool MatchesAnyHostPattern(const NfeConfig& config, std::string_view text) {
    const auto* area = reinterpret_cast<const char*>(config.insertionHostPatterns.data());
    std::size_t index = 0;
    while (index < kNfeInsertionHostPatternsSize && area[index] != 0) {
        std::size_t length = strnlen(area + index, kNfeInsertionHostPatternsSize - index);
        if (MatchInsertionHostPattern(std::string_view(area + index, length), text)) return true;
        index += length + 1;
    }
    return false;
}

}  // namespace

bool MatchInsertionHostPattern(std::string_view pattern, std::string_view text) {
    std::size_t t = 0;
    for (std::size_t p = 0; p < pattern.size(); ++p) {
        if (pattern[p] == '*') {
            if (p + 1 == pattern.size()) return true;
            while (t < text.size() && !CharMatches(pattern[p + 1], text[t])) ++t;
            if (t == text.size()) return false;
            continue;
        }
        if (t == text.size() || !CharMatches(pattern[p], text[t])) return false;
        ++t;
    }
    return t == text.size();
}

std::optional<std::vector<uint8_t>> BuildRequestLineInsertion(const NfeConfig& config,
                                                              const std::vector<uint8_t>& data) {
    const std::size_t prefixLength = strnlen(reinterpret_cast<const char*>(config.insertionPrefix.data()),
                                             kNfeInsertionPrefixSize);
    std::optional<std::size_t> terminator;
    std::optional<std::size_t> lineFeed;
    for (std::size_t i = 0; i < data.size(); ++i) {
        if (i < kNfeInsertionPrefixSize && config.insertionPrefix[i] != 0 && data[i] != config.insertionPrefix[i]) {
            return std::nullopt;
        }
        if (i >= prefixLength && !terminator && data[i] == config.insertionTerminator) terminator = i;
        if (data[i] == '\n') {
            lineFeed = i;
            break;
        }
    }
    if (!lineFeed || *lineFeed == 0 || !terminator || *terminator > *lineFeed) return std::nullopt;

    std::string_view host(reinterpret_cast<const char*>(data.data()) + prefixLength, *terminator - prefixLength);
    if (!MatchesAnyHostPattern(config, host)) return std::nullopt;

    const std::size_t insertLength = std::min<std::size_t>(config.insertionDataLength, kNfeInsertionDataSize);
    std::vector<uint8_t> out;
    out.reserve(data.size() + insertLength);
    out.insert(out.end(), data.begin(), data.begin() + static_cast<std::ptrdiff_t>(*lineFeed + 1));
    out.insert(out.end(), config.insertionData.begin(), config.insertionData.begin() + static_cast<std::ptrdiff_t>(insertLength));
    out.insert(out.end(), data.begin() + static_cast<std::ptrdiff_t>(*lineFeed + 1), data.end());
    return out;
}

}  // namespace hbt
