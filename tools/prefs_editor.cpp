#include "tools/prefs_editor.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

#include "rules/preferences_storage.h"

namespace hbt::ctl {
namespace {

using Setter = bool (*)(Preferences&, const std::wstring&, std::wstring&);

struct Editable {
    const char* section;
    const char* name;
    Setter set;
    bool tlsPolicy = false;  // applies in Strict Mode only
};

constexpr std::array<uint16_t, 7> kKnownVersions{kVersionSsl2,  kVersionSsl3,  kVersionTls10,     kVersionTls11,
                                                 kVersionTls12, kVersionTls13, kVersionTls13Early};

std::optional<int32_t> ReadSmallNumber(const std::wstring& value) {
    if (value.empty() || value.size() > 9) return std::nullopt;
    int32_t n = 0;
    for (wchar_t c : value) {
        if (c < L'0' || c > L'9') return std::nullopt;
        n = n * 10 + (c - L'0');
    }
    return n;
}

bool ReadBool(const std::wstring& value, bool& out, std::wstring& message) {
    if (value != L"0" && value != L"1") {
        message = L"Expected 0 or 1.";
        return false;
    }
    out = value == L"1";
    return true;
}

bool ReadLevel(const std::wstring& value, int32_t& out, std::wstring& message) {
    const auto n = ReadSmallNumber(value);
    if (!n || *n > 3) {
        message = L"Expected a log level from 0 to 3 (0 None, 1 Errors Only, 2 Normal, 3 Verbose).";
        return false;
    }
    out = *n;
    return true;
}

template <bool Preferences::*Field>
bool SetBool(Preferences& p, const std::wstring& value, std::wstring& message) {
    return ReadBool(value, p.*Field, message);
}

template <int32_t Preferences::*Field>
bool SetLevel(Preferences& p, const std::wstring& value, std::wstring& message) {
    return ReadLevel(value, p.*Field, message);
}

// "769,771" or "769,771," as shown; every code must be a known protocol version.
bool SetVersions(Preferences& p, const std::wstring& value, std::wstring& message) {
    std::vector<uint16_t> versions;
    std::wstring_view rest = value;
    if (!rest.empty() && rest.back() == L',') rest.remove_suffix(1);
    while (!rest.empty()) {
        const auto comma = rest.find(L',');
        const std::wstring item(rest.substr(0, comma));
        const auto code = ReadSmallNumber(item);
        if (!code || std::find(kKnownVersions.begin(), kKnownVersions.end(), *code) == kKnownVersions.end()) {
            message = L"Unknown protocol version code \"" + item +
                      L"\"; known codes are 512, 768, 769, 770, 771, 772 and 32512.";
            return false;
        }
        if (std::find(versions.begin(), versions.end(), *code) == versions.end())
            versions.push_back(static_cast<uint16_t>(*code));
        rest = comma == std::wstring_view::npos ? std::wstring_view() : rest.substr(comma + 1);
    }
    p.allowedSslVersions = std::move(versions);
    return true;
}

// One per-version key: adds or removes its code (TLS 1.3 brings its early code along).
template <uint16_t Code>
bool SetVersionKey(Preferences& p, const std::wstring& value, std::wstring& message) {
    bool allowed = false;
    if (!ReadBool(value, allowed, message)) return false;
    std::vector<uint16_t> codes{Code};
    if (Code == kVersionTls13) codes.push_back(kVersionTls13Early);
    auto& list = p.allowedSslVersions;
    for (uint16_t code : codes) {
        const bool present = std::find(list.begin(), list.end(), code) != list.end();
        if (allowed && !present) list.push_back(code);
        if (!allowed) list.erase(std::remove(list.begin(), list.end(), code), list.end());
    }
    return true;
}

bool SetCipherMode(Preferences& p, const std::wstring& value, std::wstring& message) {
    const auto mode = ReadSmallNumber(value);
    if (!mode || (*mode != kCipherAllowAll && *mode != kCipherSafeOnly && *mode != kCipherSafeOnlyFf &&
                  *mode != kCipherCustom)) {
        message = L"Expected a cipher suite mode: 1 (Allow All), 2 (Allow Safe Only), 3 (Allow Safe Only with FF) "
                  L"or 128 (Custom).";
        return false;
    }
    if (*mode == kCipherCustom) {
        // A custom policy starts from the predefined mode in force.
        if (p.cipherBaseMode < kCipherAllowAll || p.cipherBaseMode > kCipherSafeOnlyFf) p.cipherBaseMode = kCipherSafeOnly;
    } else {
        p.cipherBaseMode = *mode;
        p.cipherOverrides.clear();
    }
    p.checkEncMethod = *mode;
    return true;
}

// The stored syntax; a custom policy only means something in mode 128, so
// setting one selects that mode.
bool SetCustomCipherOptions(Preferences& p, const std::wstring& value, std::wstring& message) {
    auto policy = ParseCustomCipherOptions(value);
    if (!policy) {
        message = L"Incorrect custom cipher options: expected the base mode 1, 2 or 3, then \"+\" (allowed) or "
                  L"\"-\" (disabled) and a hexadecimal cipher suite code per entry, for example 2-5+c02f.";
        return false;
    }
    p.checkEncMethod = kCipherCustom;
    p.cipherBaseMode = policy->baseMode;
    p.cipherOverrides = std::move(policy->overrides);
    return true;
}

bool SetLogPath(Preferences& p, const std::wstring& value, std::wstring&) {
    p.logPath = value;
    return true;
}

bool SetPorts(Preferences& p, const std::wstring& value, std::wstring& message) {
    return p.SetHttpPorts(value, message);
}
bool SetApplications(Preferences& p, const std::wstring& value, std::wstring& message) {
    return p.SetExcludedApplications(value, message);
}
bool SetHosts(Preferences& p, const std::wstring& value, std::wstring& message) {
    return p.SetExcludedHosts(value, message);
}

const Editable kEditables[] = {
    {kSectionSettings, "httpPorts", SetPorts},
    {kSectionSettings, "excludeApplications", SetApplications},
    {kSectionSettings, "excludeHosts", SetHosts},
    {kSectionSettings, "checkBeforeRedirect", SetBool<&Preferences::checkBeforeRedirect>},
    {kSectionSettings, "autoRedirect", SetBool<&Preferences::autoRedirect>},
    {kSectionSettings, "excludeCertReq", SetBool<&Preferences::excludeCertReq>},
    {kSectionSettings, "allowInsecureIfNoHttps", SetBool<&Preferences::allowInsecureIfNoHttps>},
    {kSectionSettings, "monitorSslOnAllPorts", SetBool<&Preferences::monitorSslOnAllPorts>},
    {kSectionSettings, "allowedSslVersions", SetVersions, true},
    {kSectionSettings, "allowSsl2", SetVersionKey<kVersionSsl2>, true},
    {kSectionSettings, "allowSsl3", SetVersionKey<kVersionSsl3>, true},
    {kSectionSettings, "allowTls10", SetVersionKey<kVersionTls10>, true},
    {kSectionSettings, "allowTls11", SetVersionKey<kVersionTls11>, true},
    {kSectionSettings, "allowTls12", SetVersionKey<kVersionTls12>, true},
    {kSectionSettings, "allowTls13", SetVersionKey<kVersionTls13>, true},
    {kSectionSettings, "customCipherOptions", SetCustomCipherOptions, true},
    {kSectionSettings, "checkEncMethod", SetCipherMode, true},
    {kSectionSettings, "logLevel", SetLevel<&Preferences::logLevel>},
    {kSectionSettings, "logFileLevel", SetLevel<&Preferences::logFileLevel>},
    {kSectionSettings, "logPath", SetLogPath},
    {kSectionStatus, "SysTryIconMessageShown", SetBool<&Preferences::SysTryIconMessageShown>},
    {kSectionSettings, "updatesCheck", SetBool<&Preferences::updatesCheck>},
    {kSectionSettings, "honorHsts", SetBool<&Preferences::honorHsts>},
};

const Editable* FindEditable(const std::string& key) {
    for (const auto& e : kEditables) {
        if (key == e.name || key == std::string(e.section) + "/" + e.name) return &e;
    }
    return nullptr;
}

}  // namespace

EditResult SetPreference(Preferences& preferences, const std::string& key, const std::wstring& value,
                         std::wstring& message) {
    const Editable* editable = FindEditable(key);
    if (!editable) return EditResult::kUnknownKey;
    Preferences changed = preferences;
    if (!editable->set(changed, value, message)) return EditResult::kRefused;
    preferences = std::move(changed);
    return EditResult::kChanged;
}

bool IsTlsPolicyKey(const std::string& key) {
    const Editable* editable = FindEditable(key);
    return editable != nullptr && editable->tlsPolicy;
}

const char* EditableKeysText() {
    return "httpPorts excludeApplications excludeHosts checkBeforeRedirect autoRedirect excludeCertReq\n"
           "  allowInsecureIfNoHttps monitorSslOnAllPorts allowedSslVersions allowSsl2 allowSsl3 allowTls10\n"
           "  allowTls11 allowTls12 allowTls13 customCipherOptions checkEncMethod logLevel logFileLevel logPath\n"
           "  SysTryIconMessageShown updatesCheck honorHsts";
}

}  // namespace hbt::ctl
