#include "core/core_engine_event_host.h"

#include "core/hbt_core.h"

namespace hbt {

bool CoreEngineEventHost::IsRunning() const { return core_.Running(); }

std::shared_ptr<const Preferences> CoreEngineEventHost::PreferencesSnapshot() const { return core_.PreferencesSnapshot(); }

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
        case EngineCounter::kEngineEventsRead: ++s.engineEventsRead; break;
        case EngineCounter::kEngineEventsHandled: ++s.engineEventsHandled; break;
        case EngineCounter::kConnectRequests: ++s.connectRequests; break;
        case EngineCounter::kConnectionsToProxy: ++s.connectionsToProxy; break;
        case EngineCounter::kFlowsEstablished: ++s.flowsEstablished; break;
        case EngineCounter::kFlowsInspected: ++s.flowsInspected; break;
        case EngineCounter::kStreamDataEvents: ++s.streamDataEvents; break;
        case EngineCounter::kTlsFlowsBlocked: ++s.tlsFlowsBlocked; break;
        case EngineCounter::kTlsFlowsReleased: ++s.tlsFlowsReleased; break;
    }
}

bool CoreEngineEventHost::DisplayOff() const { return core_.DisplayOff(); }

bool CoreEngineEventHost::AdmitToProxy() { return core_.AdmitToProxy(); }

void CoreEngineEventHost::EngineGone() { core_.HaltForLostEngine(); }

bool CoreEngineEventHost::ReopenEngine() { return core_.ReopenEngine(); }

}  // namespace hbt
