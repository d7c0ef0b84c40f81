#pragma once
// Conversions between the program's narrow (8-bit, UTF-8 where it is text),
// wide and UTF-16 strings. UTF-16 is how the engine carries application paths.
#include <string>
#include <string_view>

namespace hbt {

// UTF-8 to wide; an invalid byte becomes U+FFFD.
std::wstring Utf8ToWide(std::string_view text);
// Wide (UTF-32, or UTF-16 where wchar_t has 16 bits) to UTF-8. Code points
// that UTF-8 cannot carry (lone surrogates, values above U+10FFFF) become U+FFFD.
std::string WideToUtf8(std::wstring_view text);
// UTF-8 to UTF-16; an invalid byte becomes U+FFFD.
std::u16string Utf8ToUtf16(std::string_view text);
// UTF-16 to wide; a surrogate pair becomes one wide character where wchar_t
// has 32 bits, and a lone surrogate stays as it is.
std::wstring Utf16ToWide(std::u16string_view text);
// Each byte becomes one wide character of the same value (0..255).
std::wstring WidenBytes(std::string_view text);
// Each wide character keeps its low 8 bits.
std::string NarrowBytes(std::wstring_view text);

}  // namespace hbt
