#include "ui/options_model.h"

#include <algorithm>

namespace hbt {

int CipherModeIndex(int32_t mode) {
    switch (mode) {
        case kCipherSafeOnly: return kCipherIndexSafeOnly;
        case kCipherSafeOnlyFf: return kCipherIndexSafeOnlyFf;
        case kCipherCustom: return kCipherIndexCustom;
        default: return kCipherIndexAllowAll;
    }
}

void SetCipherModeFromIndex(Preferences& record, int index) {
    if (index == kCipherIndexCustom) {
        record.checkEncMethod = kCipherCustom;
        return;
    }
    const int32_t mode = std::clamp(index, kCipherIndexAllowAll, kCipherIndexSafeOnlyFf) + 1;
    record.checkEncMethod = mode;
    record.cipherBaseMode = mode;
    // The user has agreed to lose them; they must not come back with "Custom".
    record.cipherOverrides.clear();
}

VersionTicks VersionTicksFromList(const std::vector<uint16_t>& versions) {
    VersionTicks ticks{};
    for (std::size_t i = 0; i < kVersionBoxes.size(); ++i) {
        ticks[i] = std::find(versions.begin(), versions.end(), kVersionBoxes[i].code) != versions.end();
    }
    return ticks;
}

std::vector<uint16_t> AllowedVersionsFromTicks(const VersionTicks& ticks) {
    std::vector<uint16_t> versions;
    for (std::size_t i = kVersionBoxes.size(); i-- > 0;) {
        if (ticks[i]) versions.push_back(kVersionBoxes[i].code);
    }
    if (ticks.back()) versions.push_back(kVersionTls13Early);
    return versions;
}

bool LegacySslTicked(const VersionTicks& ticks) { return ticks[0] || ticks[1]; }

LegacySslVerdict JudgeLegacySsl(const VersionTicks& ticks, int cipherIndex) {
    if (!LegacySslTicked(ticks)) return LegacySslVerdict::kFine;
    return cipherIndex >= kCipherIndexSafeOnlyFf ? LegacySslVerdict::kRefused : LegacySslVerdict::kAskUser;
}

std::optional<std::wstring> StoreListTexts(Preferences& record, const std::wstring& applications,
                                           const std::wstring& ports, const std::wstring& hosts) {
    std::wstring message;
    if (!record.SetExcludedApplications(applications, message)) return L"Incorrect applications (" + message + L")";
    if (!record.SetHttpPorts(ports, message)) return L"Incorrect ports (" + message + L")";
    if (!record.SetExcludedHosts(hosts, message)) return L"Incorrect hosts (" + message + L")";
    return std::nullopt;
}

void TakeOptionsFields(Preferences& into, const Preferences& from) {
    into.httpPortsText = from.httpPortsText;
    into.httpPorts = from.httpPorts;
    into.excludeApplicationsText = from.excludeApplicationsText;
    into.excludeApplications = from.excludeApplications;
    into.excludeApplicationsLower = from.excludeApplicationsLower;
    into.excludeHostsText = from.excludeHostsText;
    into.excludeHosts = from.excludeHosts;
    into.excludeHostRules = from.excludeHostRules;
    into.excludeCertReq = from.excludeCertReq;
    into.monitorSslOnAllPorts = from.monitorSslOnAllPorts;
    into.honorHsts = from.honorHsts;
    into.allowedSslVersions = from.allowedSslVersions;
    into.checkEncMethod = from.checkEncMethod;
    into.cipherBaseMode = from.cipherBaseMode;
    into.cipherOverrides = from.cipherOverrides;
}

}  // namespace hbt
