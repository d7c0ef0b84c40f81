#pragma once
// The names promises are kept under: a host name in lower case without a
// trailing dot. IP literals never hold a promise (RFC 6797, section 8.1).
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace hbt {

// The key of a host name, or nullopt for what cannot hold a promise: an
// empty name, an IP literal (or a name whose last label is a number), a
// label that is empty, longer than 63 bytes or holds other than letters,
// digits, '-' and '_', or a name longer than 253 bytes.
std::optional<std::string> HstsHostKey(std::string_view host);

// The parent domain of a key ("b.example.org" for "a.b.example.org"); empty
// when the key has no dot.
std::string_view ParentDomain(std::string_view key);

// "YYYY-MM-DD HH:MM:SS UTC" of seconds since 1970.
std::string PromiseExpiryText(int64_t seconds);

}  // namespace hbt
