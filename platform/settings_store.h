#pragma once
// Per-user settings: named sections of integer and string values, each value
// with a default that applies when it is absent or of the other type. The file
// store keeps everything in memory and replaces the file atomically on Save().
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <variant>

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
};

// The settings file of DESIGN: INI-style sections, "name=123" for integers and
// name="escaped text" for strings. A damaged or unreadable file reads as empty
// and is replaced by the next Save().
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
    using Value = std::variant<int32_t, std::wstring>;
    using Section = std::map<std::string, Value>;

    std::string path_;
    mutable std::mutex mutex_;
    std::map<std::string, Section> sections_;
};

// The default settings file: $XDG_CONFIG_HOME/Corvant/Harbinet.conf.
std::string DefaultSettingsPath();

}  // namespace hbt
