#pragma once
// Locale-independent case folding for the rule lists, so that the program,
// hbtctl and the engine client fold names the same way.
#include <string>
#include <string_view>

namespace hbt {

// Lower case for ASCII, Latin-1, Latin Extended-A, Greek and Cyrillic; other
// characters stay as they are.
wchar_t ToLowerWideChar(wchar_t c);
std::wstring ToLowerWide(std::wstring_view text);
// ASCII letters only.
std::string ToLowerAscii(std::string_view text);

}  // namespace hbt
