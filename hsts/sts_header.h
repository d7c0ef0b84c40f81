#pragma once
// The Strict-Transport-Security header a site sends over HTTPS (RFC 6797,
// section 6.1): how long the site promises to be reached over HTTPS only, and
// whether the promise covers its subdomains.
#include <cstdint>
#include <optional>
#include <string_view>

namespace hbt {

// The longest promise kept: a larger max-age counts as this.
inline constexpr uint64_t kMaxPromiseSeconds = 2 * 365 * 86400;

struct StsDirectives {
    uint64_t maxAge = 0;  // seconds, at most kMaxPromiseSeconds; 0 withdraws the promise
    bool includeSubDomains = false;
    bool operator==(const StsDirectives&) const = default;
};

// The directives of one header value; nullopt when the value is invalid: no
// max-age, a directive given twice, a max-age that is no number, a value
// given to includeSubDomains, or text outside the grammar. Unknown directives
// (preload) are ignored.
std::optional<StsDirectives> ParseStsHeaderValue(std::string_view value);

// The value of the first Strict-Transport-Security field of a response head
// (the name in any letter case); nullopt when the head has none.
std::optional<std::string_view> FirstStsFieldValue(std::string_view head);

// The promise a response head makes: only its first such field counts, and
// an invalid one makes none.
std::optional<StsDirectives> StsPromiseOf(std::string_view head);

}  // namespace hbt
