#pragma once
// Where the message box with a check box remembers an answer: a key computed
// from its title and text, under the section "MessageBoxEx".
#include <cstdint>
#include <string>

namespace hbt {

class SettingsStore;

inline constexpr char kSectionMessageBoxEx[] = "MessageBoxEx";

// Over the UTF-16 code units c(i) of title + text, byte i mod 4 of a 32-bit
// number grows by c(i) * i (mod 256); the key is the number in upper-case
// hexadecimal without leading zeros.
std::wstring RememberKey(const std::wstring& title, const std::wstring& text);
// Stores the answer under the key and saves the store.
void RememberAnswer(SettingsStore& store, const std::wstring& key, int32_t answer);

}  // namespace hbt
