#pragma once
// Conversions between the program's narrow (8-bit, UTF-8 where it is text) and
// wide strings.
#include <string>
#include <string_view>

namespace hbt {

// UTF-8 to wide; an invalid byte becomes U+FFFD.
std::wstring Utf8ToWide(std::string_view text);
// Wide to UTF-8. Code points that UTF-8 cannot carry (surrogates, values above
// U+10FFFF) become U+FFFD.
std::string WideToUtf8(std::wstring_view text);
// Each byte becomes one wide character of the same value (0..255).
std::wstring WidenBytes(std::string_view text);
// Each wide character keeps its low 8 bits.
std::string NarrowBytes(std::wstring_view text);

}  // namespace hbt
