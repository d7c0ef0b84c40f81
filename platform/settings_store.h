#pragma once
// Per-user settings: named sections of integer and string values, each value
// with a default that applies when it is absent or of the other type. The
// preferences are read and written through this interface only; the file
// store is in file_settings_store.h.
#include <cstdint>
#include <string>

namespace hbt {

class SettingsStore {
public:
    virtual ~SettingsStore() = default;
    // Absent value, or a value of the other type: the default.
    virtual int32_t GetInt(const std::string& section, const std::string& name, int32_t defaultValue) const = 0;
    virtual std::wstring GetString(const std::string& section, const std::string& name,
                                   const std::wstring& defaultValue) const = 0;
    virtual void SetInt(const std::string& section, const std::string& name, int32_t value) = 0;
    virtual void SetString(const std::string& section, const std::string& name, const std::wstring& value) = 0;
    // Makes every change so far durable; false when the file could not be replaced.
    virtual bool Save() = 0;
    // Reads what is stored again, for a change made by another writer; unsaved changes are dropped.
    virtual void Reload() = 0;
};

}  // namespace hbt
