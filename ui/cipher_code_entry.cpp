#include "ui/cipher_code_entry.h"

#include <algorithm>
#include <optional>

namespace hbt {
namespace {

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t'; }

std::optional<unsigned> DigitValue(wchar_t c, unsigned base) {
    unsigned value = base;
    if (c >= L'0' && c <= L'9') value = static_cast<unsigned>(c - L'0');
    if (c >= L'a' && c <= L'f') value = static_cast<unsigned>(c - L'a') + 10;
    if (c >= L'A' && c <= L'F') value = static_cast<unsigned>(c - L'A') + 10;
    if (value >= base) return std::nullopt;
    return value;
}

}  // namespace

std::variant<uint16_t, std::wstring> ReadCipherSuiteCode(const std::wstring& text) {
    if (text.empty()) return std::wstring(L"Cannot add cipher suite: code is empty.");
    const bool hex = text.size() > 2 && text[0] == L'0' && (text[1] == L'x' || text[1] == L'X');
    const unsigned base = hex ? 16 : 10;
    std::size_t at = hex ? 2 : 0;
    while (at < text.size() && IsBlank(text[at])) ++at;
    const std::size_t digitsStart = at;
    // Saturates above the largest code, so that long numbers stay out of range.
    uint32_t value = 0;
    for (; at < text.size(); ++at) {
        const std::optional<unsigned> digit = DigitValue(text[at], base);
        if (!digit) break;
        value = std::min<uint32_t>(value * base + *digit, 0x10000);
    }
    if (at == digitsStart || value == 0) return std::wstring(L"Cannot add cipher suite: incorrect code number.");
    for (; at < text.size(); ++at) {
        if (!IsBlank(text[at])) return std::wstring(L"Cannot add cipher suite: incorrect code format.");
    }
    if (value > 0xFFFF) return std::wstring(L"Cannot add cipher suite: the code must be within 0x0001 and 0xFFFF.");
    return static_cast<uint16_t>(value);
}

}  // namespace hbt
