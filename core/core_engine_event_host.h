#pragma once
// The core as the engine event loop sees it.
#include "engine_client/engine_event_host.h"

namespace hbt {

class CHbtCore;

class CoreEngineEventHost : public EngineEventHost {
public:
    explicit CoreEngineEventHost(CHbtCore& core) : core_(core) {}

    bool IsRunning() const override;
    std::shared_ptr<const Preferences> PreferencesSnapshot() const override;
    bool IsTemporarilyExcluded(const SocketAddressSlot& destination) const override;
    uint64_t AppendRedirectRecord(const SocketAddressSlot& clientAddress, const SocketAddressSlot& destination,
                                  uint32_t processId, const std::wstring& applicationPath) override;
    void WithdrawRedirectRecord(uint64_t id) override;
    void ClearRedirectRecords() override;
    SocketAddressSlot ProxyAddress(bool ipv6) const override;
    void Count(EngineCounter counter) override;
    bool DisplayOff() const override;
    bool AdmitToProxy() override;
    void EngineGone() override;
    bool ReopenEngine() override;

private:
    CHbtCore& core_;
};

}  // namespace hbt
