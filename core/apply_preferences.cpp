// Applying a changed preferences record, and the engine's configuration.
#include <unistd.h>

#include "core/hbt_core.h"
#include "engine_client/engine_event_loop.h"
#include "engine_client/nfe_device_client.h"
#include "engine_protocol/nfe_protocol.h"
#include "https_check/https_cache_file.h"
#include "https_check/https_checker.h"
#include "log/log.h"
#include "log/log_settings.h"
#include "rules/preferences_storage.h"

namespace hbt {

namespace {

constexpr std::size_t kMaxEnginePortRules = 200;

struct StreamPattern {
    std::vector<uint8_t> pattern;
    std::vector<uint8_t> mask;
};

// What the engine captures of an inspected flow's first segment: TLS and
// SSL 2 client hellos, and HTTP requests (which are then let go).
const std::vector<StreamPattern>& StreamPatterns() {
    static const std::vector<StreamPattern> patterns = {
        {{0x16, 0x03, 0x00, 0x00, 0x00, 0x01}, {0xFF, 0xFF, 0xF0, 0x00, 0x00, 0xFF}},
        {{0x80, 0x00, 0x01, 0x00, 0x02}, {0xC0, 0x00, 0xFF, 0xF0, 0xF0}},
        {{0x00, 0x00, 0x00, 0x01, 0x00, 0x02}, {0xC0, 0x00, 0x00, 0xFF, 0xF0, 0xF0}},
        {{'O', 'P', 'T'}, {0xFF, 0xFF, 0xFF}},
        {{'G', 'E', 'T'}, {0xFF, 0xFF, 0xFF}},
        {{'H', 'E', 'A'}, {0xFF, 0xFF, 0xFF}},
        {{'P', 'O', 'S'}, {0xFF, 0xFF, 0xFF}},
        {{'P', 'U', 'T'}, {0xFF, 0xFF, 0xFF}},
        {{'D', 'E', 'L'}, {0xFF, 0xFF, 0xFF}},
        {{'T', 'R', 'A'}, {0xFF, 0xFF, 0xFF}},
    };
    return patterns;
}

// The names of the stored values that differ between two records, in save order.
std::string ChangedValueNames(const Preferences& before, const Preferences& after) {
    std::string names;
    for (const StoredPreferenceValue& value : ChangedPreferenceValues(before, after)) {
        names += (names.empty() ? "" : ", ") + value.name;
    }
    return names;
}

}  // namespace

bool CHbtCore::ApplyPreferences(Preferences& changed, int mode) {
    if (halted.load()) changed.enabled = false;
    if (!httpsChecker_) CHttpsChecker::Instance().SetCacheFilePath(DefaultHttpsCachePath());
    // The default log folder is kept in the working record only.
    Preferences working = changed;
    UpdateLogSettings(changed.logLevel, changed.logFileLevel, working.logPath);
    const std::shared_ptr<const Preferences> previous = ReplacePreferences(std::move(working));
    const bool wasEnabled = previous->enabled;
    if (mode == kApplyOnly) return true;

    if (!PushRulesToEngine()) CLog(kLogError) << L"Could not apply preferences to kernel module.";
    if (!changed.enabled) {
        CLog(kLogError) << "Harbinet switched OFF";
    } else if (!wasEnabled) {
        CLog(kLogAlways) << "Harbinet switched ON";
    }
    // Only what this change changed: another writer of the settings file
    // (hbtctl) may have stored other values since the program read them.
    SaveChangedPreferences(SettingsStoreForCore(), *previous, *PreferencesSnapshot());
    return true;
}

void CHbtCore::TakeUpStoredPreferences() {
    std::lock_guard edit(preferencesEditLock_);
    // hbtctl asks the same after changing the HTTPS promises beside the cache file.
    HttpsChecker().Promises().Reload();
    if (!preferencesLoaded.load()) return;
    // Both records come from the store, so that only what another writer
    // changed counts, not what applying fills in (the default log folder).
    SettingsStore& store = SettingsStoreForCore();
    Preferences before;
    LoadPreferences(store, before);
    store.Reload();
    Preferences stored;
    LoadPreferences(store, stored);
    const std::string changed = ChangedValueNames(before, stored);
    if (changed.empty()) return;
    CLog(kLogAlways) << "Settings changed outside Harbinet taken up: " << changed;
    stored.enabled = PreferencesSnapshot()->enabled;
    ApplyPreferences(stored, kApplyAndSave);
    RefreshUserInterface();
}

bool CHbtCore::PushRulesToEngine() {
    // Before the engine is opened, and after it is closed, there is nothing to configure.
    if (!engineClient_->IsOpen()) return true;
    if (PreferencesSnapshot()->httpPorts.size() > kMaxEnginePortRules) {
        CLog(kLogError) << "To many port rules. Only first " << kMaxEnginePortRules << " will be loaded.";
    }
    std::vector<std::vector<uint8_t>> patterns;
    std::vector<std::vector<uint8_t>> masks;
    for (const StreamPattern& p : StreamPatterns()) {
        patterns.push_back(p.pattern);
        masks.push_back(p.mask);
    }
    const NfeDriverError error = engineClient_->SetConfig(static_cast<uint32_t>(::getpid()), patterns, masks);
    if (!error.Succeeded()) {
        CLog(kLogError) << "SetConfig failed with error " << error.message;
        return false;
    }
    return PushPortRulesToEngine();
}

bool CHbtCore::PushPortRulesToEngine() {
    // Taken under the lock, so that of two pushes at once the later snapshot is sent last.
    std::lock_guard lock(portRulesLock_);
    const NfePortRules ports = ConnectPortsToHold(*PreferencesSnapshot());
    const NfeDriverError error = engineClient_->SetPortRules(ports);
    if (error.Succeeded()) return true;
    if (error.code == Win32ErrorFromStatus(kStatusInvalidParameter)) {
        // An engine older than port rules holds every connect, which is safe.
        CLog(kLogVerbose) << "Network Engine takes no port rules; every connect is held.";
        return true;
    }
    CLog(kLogError) << "SetPortRules failed with error " << error.message;
    return false;
}

}  // namespace hbt
