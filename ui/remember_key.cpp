#include "ui/remember_key.h"

#include <array>
#include <cstdio>

#include "platform/settings_store.h"
#include "text/text_conversion.h"

namespace hbt {

std::wstring RememberKey(const std::wstring& title, const std::wstring& text) {
    const std::u16string units = Utf8ToUtf16(WideToUtf8(title + text));
    std::array<uint8_t, 4> bytes{};
    for (std::size_t i = 0; i < units.size(); ++i) {
        bytes[i % 4] = static_cast<uint8_t>(bytes[i % 4] + static_cast<uint64_t>(units[i]) * i);
    }
    const uint32_t number = bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<uint32_t>(bytes[3]) << 24;
    char hex[9];
    std::snprintf(hex, sizeof hex, "%X", number);
    return Utf8ToWide(hex);
}

void RememberAnswer(SettingsStore& store, const std::wstring& key, int32_t answer) {
    store.SetInt(kSectionMessageBoxEx, WideToUtf8(key), answer);
    store.Save();
}

}  // namespace hbt
