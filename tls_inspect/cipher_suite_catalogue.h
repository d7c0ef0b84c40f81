#pragma once
// The catalogue of known TLS cipher suites with the strength level the
// program gives each: 1 weak, 2 medium, 3 strong.
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace hbt {

struct CipherSuiteInfo {
    uint16_t code;
    std::string_view name;
    uint8_t level;
};

inline constexpr std::size_t kCipherSuiteCount = 360;

// Every known suite once, ascending by code. A constant table: lookups need
// no construction and are safe from any thread from the first call on.
std::span<const CipherSuiteInfo> CipherSuiteCatalogue();

// The catalogue row of `code`, or nullptr when it is not in the catalogue.
const CipherSuiteInfo* FindCipherSuite(uint16_t code);

// The catalogue name; for an unknown code, `unknownPrefix` and the code as
// four upper-case hexadecimal digits when `usePrefix` is set, else "".
std::string CipherSuiteName(uint16_t code, std::string_view unknownPrefix = {}, bool usePrefix = false);

}  // namespace hbt
