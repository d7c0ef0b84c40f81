#pragma once
// The settings file: keeps everything in memory and replaces the file
// atomically on Save().
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
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
class FileSettingsStore : public SettingsStore {
public:
    explicit FileSettingsStore(std::string path);

    int32_t GetInt(const std::string& section, const std::string& name, int32_t defaultValue) const override;
    std::wstring GetString(const std::string& section, const std::string& name,
                           const std::wstring& defaultValue) const override;
    void SetInt(const std::string& section, const std::string& name, int32_t value) override;
    void SetString(const std::string& section, const std::string& name, const std::wstring& value) override;
    bool Save() override;

    const std::string& Path() const { return path_; }
    // Re-reads the file, dropping unsaved changes.
    void Reload();

    // The file's text for the current values (what Save() writes).
    std::string Serialize() const;

private:
    std::string path_;
    mutable std::mutex mutex_;
    SettingsSections sections_;
};

// The default settings file: $XDG_CONFIG_HOME/Corvant/Harbinet.conf.
std::string DefaultSettingsPath();

}  // namespace hbt
