// The settings file reader on any text: what it reads must come back the same
// after it is written, and the preferences loaded from it, once saved, must
// load the same again.
#include <string>

#include "fuzz/fuzz_support.h"
#include "platform/file_settings_store.h"
#include "rules/preferences_storage.h"

using namespace hbt;

namespace {

// The values of one file in memory; Save() keeps them for the next reading.
class SectionsStore : public SettingsStore {
public:
    explicit SectionsStore(SettingsSections sections = {}) : sections_(std::move(sections)) {}

    int32_t GetInt(const std::string& section, const std::string& name, int32_t defaultValue) const override {
        const SettingsValue* value = Find(section, name);
        return value && std::holds_alternative<int32_t>(*value) ? std::get<int32_t>(*value) : defaultValue;
    }
    std::wstring GetString(const std::string& section, const std::string& name,
                           const std::wstring& defaultValue) const override {
        const SettingsValue* value = Find(section, name);
        return value && std::holds_alternative<std::wstring>(*value) ? std::get<std::wstring>(*value) : defaultValue;
    }
    void SetInt(const std::string& section, const std::string& name, int32_t value) override {
        sections_[section][name] = value;
    }
    void SetString(const std::string& section, const std::string& name, const std::wstring& value) override {
        sections_[section][name] = value;
    }
    bool Save() override { return true; }
    void Reload() override {}  // nothing beneath it to read again

    const SettingsSections& Sections() const { return sections_; }

private:
    const SettingsValue* Find(const std::string& section, const std::string& name) const {
        const auto s = sections_.find(section);
        if (s == sections_.end()) return nullptr;
        const auto v = s->second.find(name);
        return v == s->second.end() ? nullptr : &v->second;
    }

    SettingsSections sections_;
};

// Saved into a file's text and loaded back from it.
Preferences SavedAndLoaded(const Preferences& preferences) {
    SectionsStore saved;
    FUZZ_CHECK(SavePreferences(saved, preferences));
    const auto read = ParseSettingsText(SerializeSettings(saved.Sections()));
    FUZZ_CHECK(read.has_value());
    Preferences loaded;
    LoadPreferences(SectionsStore(*read), loaded);
    return loaded;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const std::optional<SettingsSections> sections = ParseSettingsText(fuzz::InputReader::Text({data, size}));
    if (!sections) return 0;
    FUZZ_CHECK(ParseSettingsText(SerializeSettings(*sections)) == sections);

    Preferences first;
    LoadPreferences(SectionsStore(*sections), first);
    const Preferences second = SavedAndLoaded(first);
    FUZZ_CHECK(SavedAndLoaded(second) == second);
    return 0;
}
