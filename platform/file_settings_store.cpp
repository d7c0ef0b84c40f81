#include "platform/file_settings_store.h"

#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <fstream>
#include <optional>
#include <sstream>

#include "platform/file_replace.h"
#include "platform/known_folders.h"
#include "text/text_conversion.h"

namespace hbt {

namespace {

// Strings are written between double quotes. Backslash, quote and control
// characters are escaped; code points that UTF-8 cannot carry are written as
// \u{HEX} so that every wide text comes back exactly.
std::string EscapeValue(const std::wstring& value) {
    std::string out = "\"";
    char hex[16];
    for (wchar_t wc : value) {
        auto c = static_cast<uint32_t>(wc);
        switch (c) {
            case '\\': out += "\\\\"; continue;
            case '"': out += "\\\""; continue;
            case '\n': out += "\\n"; continue;
            case '\r': out += "\\r"; continue;
            case '\t': out += "\\t"; continue;
            default: break;
        }
        if (c < 0x20 || c == 0x7F || (c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) {
            std::snprintf(hex, sizeof(hex), "\\u{%X}", c);
            out += hex;
        } else {
            out += WideToUtf8(std::wstring(1, wc));
        }
    }
    return out + "\"";
}

std::optional<std::wstring> UnescapeValue(std::string_view text) {
    if (text.size() < 2 || text.front() != '"' || text.back() != '"') return std::nullopt;
    text = text.substr(1, text.size() - 2);
    std::wstring out;
    std::string plain;
    auto flushPlain = [&] {
        out += Utf8ToWide(plain);
        plain.clear();
    };
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '"') return std::nullopt;
        if (c != '\\') {
            plain += c;
            continue;
        }
        if (++i >= text.size()) return std::nullopt;
        flushPlain();
        switch (text[i]) {
            case '\\': out += L'\\'; break;
            case '"': out += L'"'; break;
            case 'n': out += L'\n'; break;
            case 'r': out += L'\r'; break;
            case 't': out += L'\t'; break;
            case 'u': {
                std::size_t close = text.find('}', i);
                if (i + 1 >= text.size() || text[i + 1] != '{' || close == std::string_view::npos) return std::nullopt;
                uint32_t code = 0;
                auto digits = text.substr(i + 2, close - i - 2);
                auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), code, 16);
                if (ec != std::errc() || end != digits.data() + digits.size() || digits.empty()) return std::nullopt;
                out += static_cast<wchar_t>(code);
                i = close;
                break;
            }
            default: return std::nullopt;
        }
    }
    flushPlain();
    return out;
}

std::optional<int32_t> ParseInt(std::string_view text) {
    int32_t value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
    return value;
}

}  // namespace

std::optional<SettingsSections> ParseSettingsText(std::string_view text) {
    SettingsSections loaded;
    std::map<std::string, SettingsValue>* current = nullptr;
    while (!text.empty()) {
        const std::size_t lineEnd = text.find('\n');
        const std::string_view line = text.substr(0, lineEnd);
        text.remove_prefix(lineEnd == std::string_view::npos ? text.size() : lineEnd + 1);
        if (line.empty() || line[0] == '#') continue;
        if (line.front() == '[') {
            if (line.back() != ']' || line.size() < 3) return std::nullopt;
            current = &loaded[std::string(line.substr(1, line.size() - 2))];
            continue;
        }
        const std::size_t eq = line.find('=');
        if (!current || eq == std::string_view::npos || eq == 0) return std::nullopt;
        const std::string name(line.substr(0, eq));
        const std::string_view raw = line.substr(eq + 1);
        if (!raw.empty() && raw.front() == '"') {
            auto value = UnescapeValue(raw);
            if (!value) return std::nullopt;
            (*current)[name] = std::move(*value);
        } else {
            auto number = ParseInt(raw);
            if (!number) return std::nullopt;
            (*current)[name] = *number;
        }
    }
    return loaded;
}

std::string SerializeSettings(const SettingsSections& sections) {
    std::ostringstream out;
    out << "# Harbinet settings. Strings are quoted with C-style escapes.\n";
    for (const auto& [sectionName, values] : sections) {
        out << "[" << sectionName << "]\n";
        for (const auto& [name, value] : values) {
            out << name << "=";
            if (std::holds_alternative<int32_t>(value)) {
                out << std::get<int32_t>(value);
            } else {
                out << EscapeValue(std::get<std::wstring>(value));
            }
            out << "\n";
        }
    }
    return out.str();
}

FileSettingsStore::FileSettingsStore(std::string path) : path_(std::move(path)) { Reload(); }

std::optional<SettingsSections> FileSettingsStore::ReadFile() const {
    std::ifstream file(path_, std::ios::binary);
    if (file) {
        std::ostringstream content;
        content << file.rdbuf();
        return ParseSettingsText(content.str());
    }
    // An absent file has no values; one that cannot be read counts as damaged.
    if (::access(path_.c_str(), F_OK) != 0 && errno == ENOENT) return SettingsSections{};
    return std::nullopt;
}

void FileSettingsStore::Reload() {
    // A damaged file counts as empty: defaults apply until the next save replaces it.
    SettingsSections loaded = ReadFile().value_or(SettingsSections{});
    std::lock_guard lock(mutex_);
    values_ = std::move(loaded);
    changed_.clear();
}

const SettingsValue* FileSettingsStore::Find(const std::string& section, const std::string& name) const {
    auto s = values_.find(section);
    if (s == values_.end()) return nullptr;
    auto v = s->second.find(name);
    return v == s->second.end() ? nullptr : &v->second;
}

int32_t FileSettingsStore::GetInt(const std::string& section, const std::string& name, int32_t defaultValue) const {
    std::lock_guard lock(mutex_);
    const SettingsValue* v = Find(section, name);
    if (!v || !std::holds_alternative<int32_t>(*v)) return defaultValue;
    return std::get<int32_t>(*v);
}

std::wstring FileSettingsStore::GetString(const std::string& section, const std::string& name,
                                          const std::wstring& defaultValue) const {
    std::lock_guard lock(mutex_);
    const SettingsValue* v = Find(section, name);
    if (!v || !std::holds_alternative<std::wstring>(*v)) return defaultValue;
    return std::get<std::wstring>(*v);
}

void FileSettingsStore::SetInt(const std::string& section, const std::string& name, int32_t value) {
    std::lock_guard lock(mutex_);
    values_[section][name] = value;
    changed_.emplace(section, name);
}

void FileSettingsStore::SetString(const std::string& section, const std::string& name, const std::wstring& value) {
    std::lock_guard lock(mutex_);
    values_[section][name] = value;
    changed_.emplace(section, name);
}

SettingsSections FileSettingsStore::Merged(const std::optional<SettingsSections>& onDisk) const {
    // A damaged file has nothing worth keeping: this store's values replace it.
    if (!onDisk) return values_;
    SettingsSections merged = *onDisk;
    for (const auto& [section, name] : changed_) merged[section][name] = values_.at(section).at(name);
    return merged;
}

bool FileSettingsStore::Save() {
    const FileWriterLock writers(path_);
    if (!writers.Held()) return false;
    const std::optional<SettingsSections> onDisk = ReadFile();
    std::lock_guard lock(mutex_);
    if (!Replace(Merged(onDisk))) return false;
    changed_.clear();
    return true;
}

bool FileSettingsStore::Replace(const SettingsSections& values) const {
    return ReplaceFileContents(path_, SerializeSettings(values));
}

std::string DefaultSettingsPath() { return ConfigFolder() + "/Corvant/Harbinet.conf"; }

}  // namespace hbt
