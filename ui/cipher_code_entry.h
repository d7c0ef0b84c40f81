#pragma once
// Reading the suite code that the user types into the Add Cipher Suite dialog.
#include <cstdint>
#include <string>
#include <variant>

namespace hbt {

// A text longer than two characters that starts with "0x" or "0X" is
// hexadecimal, any other decimal; blanks may lead and trail. Answers the code
// (1 to 65535) or the message that refuses the text.
std::variant<uint16_t, std::wstring> ReadCipherSuiteCode(const std::wstring& text);

}  // namespace hbt
