#include "rules/text_case.h"

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

std::string EncodeUtf8(std::wstring_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        uint32_t u = static_cast<uint32_t>(text[i]);
        if constexpr (sizeof(wchar_t) == 2) {
            u &= 0xFFFF;
            if (u >= 0xD800 && u <= 0xDBFF && i + 1 < text.size()) {
                const uint32_t low = static_cast<uint32_t>(text[i + 1]) & 0xFFFF;
                if (low >= 0xDC00 && low <= 0xDFFF) {
                    u = 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00);
                    ++i;
                }
            }
        }
        if ((u >= 0xD800 && u <= 0xDFFF) || u > 0x10FFFF) u = 0xFFFD;
        if (u < 0x80) {
            out += static_cast<char>(u);
        } else if (u < 0x800) {
            out += static_cast<char>(0xC0 | (u >> 6));
            out += static_cast<char>(0x80 | (u & 0x3F));
        } else if (u < 0x10000) {
            out += static_cast<char>(0xE0 | (u >> 12));
            out += static_cast<char>(0x80 | ((u >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (u & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (u >> 18));
            out += static_cast<char>(0x80 | ((u >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((u >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (u & 0x3F));
        }
    }
    return out;
}

}  // namespace hbt
