#pragma once
// The core's side of the engine event loop, for the loop's tests.
#include <atomic>
#include <functional>
#include <map>
#include <vector>

#include "engine_client/engine_event_host.h"
#include "platform/file_settings_store.h"
#include "platform/socket_address.h"
#include "rules/preferences.h"
#include "rules/preferences_storage.h"

namespace hbt {

inline Preferences DefaultPreferences() {
    FileSettingsStore empty("/nonexistent/harbinet-test/Harbinet.conf");
    Preferences preferences;
    LoadPreferences(empty, preferences);
    preferences.enabled = true;
    return preferences;
}

// The core's side of the loop, as far as the loop sees it.
class TestHost : public EngineEventHost {
public:
    struct Record {
        SocketAddressSlot client, destination;
        uint32_t processId;
        std::wstring path;
        uint64_t id;
    };

    Preferences preferences = DefaultPreferences();
    std::atomic<bool> running{true};
    std::vector<Record> records;
    std::vector<SocketAddressSlot> excluded;
    std::map<EngineCounter, int> counts;
    bool displayOff = false;
    bool proxyFull = false;
    int admissionsAsked = 0;
    int enginesGone = 0;
    std::function<bool()> reopen = [] { return false; };
    uint64_t lastId = 0;
    SocketAddressSlot proxy4 = *ParseIpAddress("127.0.0.1", 31001);
    SocketAddressSlot proxy6 = *ParseIpAddress("::1", 31002);

    bool IsRunning() const override { return running; }
    std::shared_ptr<const Preferences> PreferencesSnapshot() const override {
        return std::make_shared<const Preferences>(preferences);
    }
    bool IsTemporarilyExcluded(const SocketAddressSlot& destination) const override {
        for (const auto& e : excluded) {
            if (e.SameAddress(destination)) return true;
        }
        return false;
    }
    uint64_t AppendRedirectRecord(const SocketAddressSlot& client, const SocketAddressSlot& destination,
                                  uint32_t processId, const std::wstring& path) override {
        records.push_back({client, destination, processId, path, ++lastId});
        return lastId;
    }
    void WithdrawRedirectRecord(uint64_t id) override {
        std::erase_if(records, [id](const Record& record) { return record.id == id; });
    }
    void ClearRedirectRecords() override { records.clear(); }
    SocketAddressSlot ProxyAddress(bool ipv6) const override { return ipv6 ? proxy6 : proxy4; }
    void Count(EngineCounter counter) override { ++counts[counter]; }
    bool DisplayOff() const override { return displayOff; }
    bool AdmitToProxy() override {
        ++admissionsAsked;
        return !proxyFull;
    }
    void EngineGone() override { ++enginesGone; }
    bool ReopenEngine() override { return reopen(); }
};

}  // namespace hbt
