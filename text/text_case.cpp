#include "text/text_case.h"

#include <cstdint>

namespace hbt {

wchar_t ToLowerWideChar(wchar_t c) {
    const uint32_t u = static_cast<uint32_t>(c);
    if (u >= 'A' && u <= 'Z') return static_cast<wchar_t>(u + 32);
    if (u < 0xC0) return c;
    if (u <= 0xDE) return u == 0xD7 ? c : static_cast<wchar_t>(u + 32);
    if (u >= 0x100 && u <= 0x17F) {
        if (u == 0x130) return L'i';
        if (u == 0x178) return static_cast<wchar_t>(0xFF);
        const bool oddUpper = (u >= 0x139 && u <= 0x148) || (u >= 0x179 && u <= 0x17E);
        const bool evenUpper = u < 0x138 || (u >= 0x14A && u <= 0x177);
        if (oddUpper && (u & 1)) return static_cast<wchar_t>(u + 1);
        if (evenUpper && !(u & 1) && u != 0x138) return static_cast<wchar_t>(u + 1);
        return c;
    }
    if (u >= 0x391 && u <= 0x3A9 && u != 0x3A2) return static_cast<wchar_t>(u + 32);
    if (u >= 0x400 && u <= 0x40F) return static_cast<wchar_t>(u + 80);
    if (u >= 0x410 && u <= 0x42F) return static_cast<wchar_t>(u + 32);
    return c;
}

std::wstring ToLowerWide(std::wstring_view text) {
    std::wstring out(text);
    for (auto& c : out) c = ToLowerWideChar(c);
    return out;
}

std::string ToLowerAscii(std::string_view text) {
    std::string out(text);
    for (auto& c : out) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    }
    return out;
}

}  // namespace hbt
