#pragma once
// A settings store held in memory that records the order of writes.
#include <map>
#include <string>
#include <variant>
#include <vector>

#include "platform/settings_store.h"

namespace hbt::test {

class MemorySettingsStore : public SettingsStore {
public:
    using Value = std::variant<int32_t, std::wstring>;

    int32_t GetInt(const std::string& section, const std::string& name, int32_t defaultValue) const override {
        const auto* v = Find(section, name);
        return v && std::holds_alternative<int32_t>(*v) ? std::get<int32_t>(*v) : defaultValue;
    }
    std::wstring GetString(const std::string& section, const std::string& name,
                           const std::wstring& defaultValue) const override {
        const auto* v = Find(section, name);
        return v && std::holds_alternative<std::wstring>(*v) ? std::get<std::wstring>(*v) : defaultValue;
    }
    void SetInt(const std::string& section, const std::string& name, int32_t value) override {
        Write(section, name, value);
    }
    void SetString(const std::string& section, const std::string& name, const std::wstring& value) override {
        Write(section, name, value);
    }
    bool Save() override {
        ++saves;
        return true;
    }
    void Reload() override {}

    std::map<std::string, Value> values;  // "Section/name"
    std::vector<std::string> writeOrder;
    int saves = 0;

private:
    const Value* Find(const std::string& section, const std::string& name) const {
        const auto it = values.find(section + "/" + name);
        return it == values.end() ? nullptr : &it->second;
    }
    void Write(const std::string& section, const std::string& name, Value value) {
        values[section + "/" + name] = std::move(value);
        writeOrder.push_back(section + "/" + name);
    }
};

}  // namespace hbt::test
