#include "rules/preferences_storage.h"

#include <algorithm>
#include <array>

namespace hbt {
namespace {

struct VersionKey {
    uint16_t code;
    const char* name;
    int32_t defaultValue;
};

// The early TLS 1.3 code has no key of its own; it follows "allowTls13".
constexpr std::array<VersionKey, 6> kVersionKeys{{
    {kVersionSsl2, "allowSsl2", 0},
    {kVersionSsl3, "allowSsl3", 0},
    {kVersionTls10, "allowTls10", 2},
    {kVersionTls11, "allowTls11", 2},
    {kVersionTls12, "allowTls12", 2},
    {kVersionTls13, "allowTls13", 2},
}};
constexpr int32_t kVersionKeyNeverStored = 2;

bool IsDecimalDigit(wchar_t c) { return c >= L'0' && c <= L'9'; }

int HexDigit(wchar_t c) {
    if (c >= L'0' && c <= L'9') return c - L'0';
    if (c >= L'a' && c <= L'f') return c - L'a' + 10;
    if (c >= L'A' && c <= L'F') return c - L'A' + 10;
    return -1;
}

// Reads an unsigned number at pos; nullopt when no digit is there or it
// exceeds `limit`.
std::optional<uint32_t> ReadNumber(std::wstring_view text, std::size_t& pos, int base, uint32_t limit) {
    const std::size_t start = pos;
    uint32_t value = 0;
    while (pos < text.size()) {
        const int digit = base == 16 ? HexDigit(text[pos]) : (IsDecimalDigit(text[pos]) ? text[pos] - L'0' : -1);
        if (digit < 0) break;
        value = value * static_cast<uint32_t>(base) + static_cast<uint32_t>(digit);
        if (value > limit) return std::nullopt;
        ++pos;
    }
    if (pos == start) return std::nullopt;
    return value;
}

void ReadLists(const SettingsStore& store, Preferences& p) {
    std::wstring ignored;
    const auto ports = store.GetString(kSectionSettings, "httpPorts", kDefaultHttpPorts);
    const auto applications = store.GetString(kSectionSettings, "excludeApplications", L"");
    const auto hosts = store.GetString(kSectionSettings, "excludeHosts", L"");
    // A stored list that does not parse keeps its text; its parsed form stays empty.
    p.SetHttpPorts(ports, ignored);
    p.SetExcludedApplications(applications, ignored);
    p.SetExcludedHosts(hosts, ignored);
    p.httpPortsText = ports;
    p.excludeApplicationsText = applications;
    p.excludeHostsText = hosts;
}

void ReadVersions(const SettingsStore& store, Preferences& p) {
    std::map<uint16_t, int32_t> values;
    for (const auto& key : kVersionKeys) values[key.code] = store.GetInt(kSectionSettings, key.name, key.defaultValue);
    values[kVersionTls13Early] = values[kVersionTls13];
    bool tlsKeyStored = false;
    for (const auto& [code, value] : values) {
        if (value != 0) p.allowedSslVersions.push_back(code);
        if (code >= kVersionTls10 && value != kVersionKeyNeverStored) tlsKeyStored = true;
    }
    const auto legacy = store.GetString(kSectionSettings, "allowedSslVersions", kDefaultAllowedSslVersionsText);
    if (legacy.empty() || tlsKeyStored) return;
    // A legacy text without a single readable code keeps the defaults rather
    // than cutting every TLS connection.
    if (auto versions = ParseLegacyVersionList(legacy); !versions.empty()) p.allowedSslVersions = std::move(versions);
}

void ReadCipherMode(const SettingsStore& store, Preferences& p) {
    const int32_t stored = store.GetInt(kSectionSettings, "checkEncMethod", kCipherAllowAll);
    p.checkEncMethod = p.cipherBaseMode = kCipherSafeOnly;
    if (stored == kCipherAllowAll || stored == kCipherSafeOnlyFf) {
        p.checkEncMethod = p.cipherBaseMode = stored;
    } else if (stored == kCipherCustom) {
        if (auto policy = ParseCustomCipherOptions(store.GetString(kSectionSettings, "customCipherOptions", L""))) {
            p.checkEncMethod = kCipherCustom;
            p.cipherBaseMode = policy->baseMode;
            p.cipherOverrides = std::move(policy->overrides);
        }
    }
}

int32_t AsInt(bool value) { return value ? 1 : 0; }

void WriteValues(SettingsStore& store, const std::vector<StoredPreferenceValue>& values) {
    for (const auto& value : values) {
        if (const auto* number = std::get_if<int32_t>(&value.value)) {
            store.SetInt(value.section, value.name, *number);
        } else {
            store.SetString(value.section, value.name, std::get<std::wstring>(value.value));
        }
    }
}

}  // namespace

void LoadPreferences(const SettingsStore& store, Preferences& p) {
    p = Preferences();  // every field comes from the store or its default
    ReadLists(store, p);
    p.checkBeforeRedirect = store.GetInt(kSectionSettings, "checkBeforeRedirect", 1) != 0;
    p.autoRedirect = store.GetInt(kSectionSettings, "autoRedirect", 1) != 0;
    p.logLevel = store.GetInt(kSectionSettings, "logLevel", 2);
    p.logFileLevel = store.GetInt(kSectionSettings, "logFileLevel", 2);
    p.logPath = store.GetString(kSectionSettings, "logPath", L"");
    p.excludeCertReq = store.GetInt(kSectionSettings, "excludeCertReq", 1) != 0;
    p.allowInsecureIfNoHttps = store.GetInt(kSectionSettings, "allowInsecureIfNoHttps", 1) != 0;
    p.updatesCheck = store.GetInt(kSectionSettings, "updatesCheck", 1) != 0;
    p.monitorSslOnAllPorts = store.GetInt(kSectionSettings, "monitorSslOnAllPorts", 0) != 0;
    p.bigCrashDump = store.GetInt(kSectionSettings, "bigCrashDump", 0) != 0;
    p.honorHsts = store.GetInt(kSectionSettings, "honorHsts", 1) != 0;
    if (p.logLevel < 0 || p.logLevel > 3) p.logLevel = 2;
    if (p.logFileLevel < 0 || p.logFileLevel > 3) p.logFileLevel = 0;
    p.enabled = false;
    ReadVersions(store, p);
    ReadCipherMode(store, p);
    p.SysTryIconMessageShown = store.GetInt(kSectionStatus, "SysTryIconMessageShown", 0) != 0;
}

std::vector<StoredPreferenceValue> StoredPreferenceValues(const Preferences& p) {
    std::vector<StoredPreferenceValue> v;
    auto settings = [&v](const char* name, std::variant<int32_t, std::wstring> value) {
        v.push_back({kSectionSettings, name, std::move(value)});
    };
    settings("httpPorts", p.httpPortsText);
    settings("excludeApplications", p.excludeApplicationsText);
    settings("excludeHosts", p.excludeHostsText);
    settings("checkBeforeRedirect", AsInt(p.checkBeforeRedirect));
    settings("autoRedirect", AsInt(p.autoRedirect));
    settings("excludeCertReq", AsInt(p.excludeCertReq));
    settings("allowInsecureIfNoHttps", AsInt(p.allowInsecureIfNoHttps));
    settings("monitorSslOnAllPorts", AsInt(p.monitorSslOnAllPorts));
    settings("allowedSslVersions", FormatVersionList(p.allowedSslVersions));
    for (const auto& key : kVersionKeys) {
        const bool allowed = std::find(p.allowedSslVersions.begin(), p.allowedSslVersions.end(), key.code) !=
                             p.allowedSslVersions.end();
        settings(key.name, AsInt(allowed));
    }
    settings("customCipherOptions", p.checkEncMethod == kCipherCustom
                                        ? FormatCustomCipherOptions({p.cipherBaseMode, p.cipherOverrides})
                                        : std::wstring());
    settings("checkEncMethod", p.checkEncMethod);
    settings("logLevel", p.logLevel);
    settings("logFileLevel", p.logFileLevel);
    settings("logPath", p.logPath);
    v.push_back({kSectionStatus, "SysTryIconMessageShown", AsInt(p.SysTryIconMessageShown)});
    settings("updatesCheck", AsInt(p.updatesCheck));
    settings("honorHsts", AsInt(p.honorHsts));
    return v;
}

bool SavePreferences(SettingsStore& store, const Preferences& preferences) {
    WriteValues(store, StoredPreferenceValues(preferences));
    return store.Save();
}

std::vector<StoredPreferenceValue> ChangedPreferenceValues(const Preferences& before, const Preferences& after) {
    // The list's order follows how it was loaded or edited; only its members matter.
    auto sortedVersions = [](Preferences p) {
        std::sort(p.allowedSslVersions.begin(), p.allowedSslVersions.end());
        return p;
    };
    const std::vector<StoredPreferenceValue> old = StoredPreferenceValues(sortedVersions(before));
    const std::vector<StoredPreferenceValue> now = StoredPreferenceValues(sortedVersions(after));
    const std::vector<StoredPreferenceValue> written = StoredPreferenceValues(after);
    std::vector<StoredPreferenceValue> changed;
    for (std::size_t i = 0; i < now.size(); ++i) {
        if (old[i].value != now[i].value) changed.push_back(written[i]);
    }
    return changed;
}

bool SaveChangedPreferences(SettingsStore& store, const Preferences& before, const Preferences& after) {
    WriteValues(store, ChangedPreferenceValues(before, after));
    return store.Save();
}

std::vector<uint16_t> ParseLegacyVersionList(std::wstring_view text) {
    std::vector<uint16_t> versions;
    std::size_t pos = 0;
    while (true) {
        // Reading stops at the first number that is missing, zero or too large.
        const auto code = ReadNumber(text, pos, 10, 0xFFFF);
        if (!code || *code == 0) break;
        versions.push_back(static_cast<uint16_t>(*code));
        if (*code == kVersionTls11) {
            versions.push_back(kVersionTls13);
            versions.push_back(kVersionTls13Early);
        }
        if (pos >= text.size() || text[pos] != L',') break;
        ++pos;
    }
    return versions;
}

std::wstring FormatVersionList(const std::vector<uint16_t>& versions) {
    std::wstring text;
    for (uint16_t code : versions) text += std::to_wstring(code) + L",";
    return text;
}

std::optional<CustomCipherPolicy> ParseCustomCipherOptions(std::wstring_view text) {
    std::size_t pos = 0;
    const auto base = ReadNumber(text, pos, 10, 3);
    if (!base || *base == 0) return std::nullopt;
    CustomCipherPolicy policy;
    policy.baseMode = static_cast<int32_t>(*base);
    while (pos < text.size()) {
        const wchar_t sign = text[pos++];
        if (sign != L'+' && sign != L'-') return std::nullopt;
        const auto code = ReadNumber(text, pos, 16, 0xFFFF);
        if (!code) return std::nullopt;
        policy.overrides[static_cast<uint16_t>(*code)] = sign == L'+';
    }
    return policy;
}

std::wstring FormatCustomCipherOptions(const CustomCipherPolicy& policy) {
    static const wchar_t kHex[] = L"0123456789abcdef";
    std::wstring text = std::to_wstring(policy.baseMode);
    for (const auto& [code, allowed] : policy.overrides) {
        text += allowed ? L'+' : L'-';
        std::wstring hex;
        uint32_t rest = code;
        do {
            hex.insert(hex.begin(), kHex[rest & 0xF]);
            rest >>= 4;
        } while (rest != 0);
        text += hex;
    }
    return text;
}

}  // namespace hbt
