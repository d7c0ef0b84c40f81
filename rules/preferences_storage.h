#pragma once
// Loading and saving the preferences record through the settings store, and
// the stored encodings of the version list and the custom cipher policy.
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "platform/settings_store.h"
#include "rules/preferences.h"

namespace hbt {

inline constexpr char kSectionSettings[] = "Settings";
inline constexpr char kSectionStatus[] = "Status";

inline constexpr wchar_t kDefaultHttpPorts[] = L"80; 88; 3128; 8080-8088";
inline constexpr wchar_t kDefaultAllowedSslVersionsText[] = L"769,770,771";

// One value as SavePreferences writes it.
struct StoredPreferenceValue {
    std::string section;
    std::string name;
    std::variant<int32_t, std::wstring> value;
};

// Fills a freshly constructed record from the store, with defaults and normalisation.
void LoadPreferences(const SettingsStore& store, Preferences& preferences);
// Writes every stored field, in save order, then saves the store. False when
// the store could not be made durable.
bool SavePreferences(SettingsStore& store, const Preferences& preferences);
// What SavePreferences writes, in the order it writes it.
std::vector<StoredPreferenceValue> StoredPreferenceValues(const Preferences& preferences);
// The stored values of `after` that differ from those of `before`, in save
// order. The version list counts as changed only when its set of codes did.
std::vector<StoredPreferenceValue> ChangedPreferenceValues(const Preferences& before, const Preferences& after);
// Writes only the values that changed from `before` to `after`, then saves
// the store. Where other writers share the store, values they stored
// meanwhile stay: a writer saving every value would put its stale copies of
// them back.
bool SaveChangedPreferences(SettingsStore& store, const Preferences& before, const Preferences& after);

// The old comma-separated version list; 770 brings TLS 1.3 and its early code along.
std::vector<uint16_t> ParseLegacyVersionList(std::wstring_view text);
// Every code in decimal, each followed by a comma.
std::wstring FormatVersionList(const std::vector<uint16_t>& versions);

struct CustomCipherPolicy {
    int32_t baseMode = kCipherSafeOnly;
    std::map<uint16_t, bool> overrides;
};
// "2-5+c02f": base mode, then "+"/"-" and a hexadecimal suite code per entry.
// nullopt for an empty or malformed text.
std::optional<CustomCipherPolicy> ParseCustomCipherOptions(std::wstring_view text);
std::wstring FormatCustomCipherOptions(const CustomCipherPolicy& policy);

}  // namespace hbt
