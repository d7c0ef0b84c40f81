#include "core/core_engine_event_host.h"

#include "core/hbt_core.h"

namespace hbt {

bool CoreEngineEventHost::IsRunning() const { return core_.Running(); }

void CoreEngineEventHost::CopyPreferences(Preferences& preferences) const { preferences = *core_.PreferencesSnapshot(); }

bool CoreEngineEventHost::IsTemporarilyExcluded(const SocketAddressSlot& destination) const {
    return core_.IsTemporarilyExcluded(destination);
}

uint64_t CoreEngineEventHost::AppendRedirectRecord(const SocketAddressSlot& clientAddress,
                                                   const SocketAddressSlot& destination, uint32_t processId,
                                                   const std::wstring& applicationPath) {
    return core_.AddRedirectRecord(RedirectRecord{clientAddress, destination, processId, applicationPath});
}

void CoreEngineEventHost::WithdrawRedirectRecord(uint64_t id) { core_.WithdrawRedirectRecord(id); }

void CoreEngineEventHost::ClearRedirectRecords() { core_.ClearRedirectRecords(); }

SocketAddressSlot CoreEngineEventHost::ProxyAddress(bool ipv6) const {
    return ipv6 ? core_.Ipv6ProxyAddress() : core_.Ipv4ProxyAddress();
}

void CoreEngineEventHost::Count(EngineCounter counter) {
    HbtStatistics& s = core_.Statistics();
    switch (counter) {
        case EngineCounter::engineEventsRead: ++s.engineEventsRead; break;
        case EngineCounter::engineEventsHandled: ++s.engineEventsHandled; break;
        case EngineCounter::connectRequests: ++s.connectRequests; break;
        case EngineCounter::connectionsToProxy: ++s.connectionsToProxy; break;
        case EngineCounter::flowsEstablished: ++s.flowsEstablished; break;
        case EngineCounter::flowsInspected: ++s.flowsInspected; break;
        case EngineCounter::streamDataEvents: ++s.streamDataEvents; break;
        case EngineCounter::tlsFlowsBlocked: ++s.tlsFlowsBlocked; break;
        case EngineCounter::tlsFlowsReleased: ++s.tlsFlowsReleased; break;
    }
}

bool CoreEngineEventHost::DisplayOff() const { return core_.DisplayOff(); }

}  // namespace hbt
