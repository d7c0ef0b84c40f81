#pragma once
// Request-line insertion: when the first line of sent data carries the
// configured prefix and a host that matches one of the configured patterns,
// the configured data is inserted right after that line.
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace hbt {

struct NfeConfig;

// The data with the insertion made, or nullopt when it does not apply.
std::optional<std::vector<uint8_t>> BuildRequestLineInsertion(const NfeConfig& config,
                                                              const std::vector<uint8_t>& data);

// Wildcard match of a whole text: "*" takes the shortest run up to the next
// pattern character (at the end, the rest), "?" any one character, a
// lower-case pattern letter also matches its upper case.
bool MatchInsertionHostPattern(std::string_view pattern, std::string_view text);

}  // namespace hbt
