#pragma once
// The settings file: keeps this writer's values in memory and replaces the
// file atomically on Save(), keeping what other writers changed meanwhile.
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "platform/settings_store.h"

namespace hbt {

using SettingsValue = std::variant<int32_t, std::wstring>;
// section name -> value name -> value
using SettingsSections = std::map<std::string, std::map<std::string, SettingsValue>>;

// The values of a settings file's text; nullopt when the text is damaged.
std::optional<SettingsSections> ParseSettingsText(std::string_view text);
// The file's text for the values; ParseSettingsText reads back the same values.
std::string SerializeSettings(const SettingsSections& sections);

// INI-style sections, "name=123" for integers and name="escaped text" for
// strings. A damaged or unreadable file reads as empty and is replaced by the
// next Save().
//
// Several writers share the file (the program, hbtctl, an editor). Save()
// reads the file again under an exclusive lock on "<file>.lock", puts in the
// values set on this store since its last successful save, and replaces the
// file, so that a save never drops a value another writer stored meanwhile.
// The store's own values stay as this writer read and set them until Reload().
class FileSettingsStore : public SettingsStore {
public:
    explicit FileSettingsStore(std::string path);

    int32_t GetInt(const std::string& section, const std::string& name, int32_t defaultValue) const override;
    std::wstring GetString(const std::string& section, const std::string& name,
                           const std::wstring& defaultValue) const override;
    void SetInt(const std::string& section, const std::string& name, int32_t value) override;
    void SetString(const std::string& section, const std::string& name, const std::wstring& value) override;
    bool Save() override;
    void Reload() override;

    const std::string& Path() const { return path_; }

private:
    const SettingsValue* Find(const std::string& section, const std::string& name) const;
    // The file's values, or nullopt when it is damaged or unreadable; an absent file has none.
    std::optional<SettingsSections> ReadFile() const;
    // The values to write: the file's, with the values set since the last save put in.
    SettingsSections Merged(const std::optional<SettingsSections>& onDisk) const;
    bool Replace(const SettingsSections& values) const;

    std::string path_;
    mutable std::mutex mutex_;
    SettingsSections values_;
    // Section and name of every value set since the last successful save.
    std::set<std::pair<std::string, std::string>> changed_;
};

// The default settings file: $XDG_CONFIG_HOME/Corvant/Harbinet.conf.
std::string DefaultSettingsPath();

}  // namespace hbt
