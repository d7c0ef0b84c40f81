#pragma once
// Display names of protocol version codes, as the log shows them.
#include <cstdint>
#include <span>
#include <string>

namespace hbt {

// "SSL 2", "SSL 3", "TLS 1.0" … "TLS 1.3", "TLS 1.3 Draft 23"; any other code
// as "0x" and four lower-case hexadecimal digits.
std::string TlsVersionName(uint16_t code);

// "NULL" for no versions; otherwise the first name, and the others in
// parentheses: "TLS 1.2 (TLS 1.1, TLS 1.0)".
std::string TlsVersionListText(std::span<const uint16_t> versions);

}  // namespace hbt
