#pragma once
// SimPlatform: an in-memory filtering platform that tests drive. It turns
// simulated connects, flows, segments and flow ends into classify calls of the
// engine and records every completion and injection the engine makes. Time
// stands still until the test advances it.
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "HbtEngineDrv/platform/filter_platform.h"

namespace hbt {

struct SimConnection {
    uint32_t processId = 4242;
    std::u16string applicationPath = u"/usr/bin/curl";
    std::vector<uint8_t> userSid;
    SocketAddressSlot local = SocketAddressSlot::Ipv4({10, 0, 0, 2}, 40000);
    SocketAddressSlot remote = SocketAddressSlot::Ipv4({192, 0, 2, 1}, 80);
    uint8_t protocol = kProtocolTcp;
    bool alreadyRedirected = false;
};

class SimPlatform : public FilterPlatform {
public:
    explicit SimPlatform(uint64_t startTime = 1000000000);

    void Attach(FilterCallouts& callouts) { callouts_ = &callouts; }
    void Advance(uint64_t units);

    struct ConnectResult {
        uint64_t connectHandle = 0;
        uint64_t endpointHandle = 0;
        ConnectAction action = ConnectAction::kPermit;
    };
    ConnectResult Connect(const SimConnection& connection);
    // The connection of an earlier Connect is established; returns its flow id.
    uint64_t Establish(const SimConnection& connection, uint64_t endpointHandle);
    // Stream data of an established flow; without an associated context the
    // segment simply passes (kNone) and the engine is not asked.
    StreamAction Segment(uint64_t flowId, uint32_t streamFlags, std::vector<uint8_t> data);
    // The connection ended.
    void EndFlow(uint64_t flowId);

    bool IsInspected(uint64_t flowId) const;
    // Every completion of the held connect, in order (more than one is a fault).
    std::vector<ConnectCompletion> Completions(uint64_t connectHandle) const;
    std::size_t CompletionCount() const;
    // Completions made inside a completion batch.
    std::size_t BatchedCompletionCount() const;
    std::vector<StreamInjection> Injections() const;
    void SetInjectionStatus(uint32_t status);
    // How often the engine let its redirect targets go.
    std::size_t RedirectReleaseCount() const;
    // The ports whose connects reach the engine, as the engine last set them.
    NfePortRules ConnectPorts() const;
    // Connects that went on without reaching the engine.
    std::size_t PassedConnectCount() const;
    void FailConnectPorts(bool fail);

    // FilterPlatform
    uint64_t Now() override;
    void CompleteConnect(uint64_t connectHandle, const ConnectCompletion& completion) override;
    void BeginCompletionBatch() override;
    void EndCompletionBatch() override;
    uint32_t InjectStream(const StreamInjection& injection) override;
    bool AssociateFlowContext(uint64_t flowId, uint16_t layerId, uint32_t calloutId,
                              std::shared_ptr<FlowContext> context) override;
    bool RemoveFlowContext(uint64_t flowId, uint16_t layerId, uint32_t calloutId) override;
    void ReleaseRedirects() override;
    bool SetConnectPorts(const NfePortRules& ports) override;

private:
    struct SimFlow {
        SimConnection connection;
        uint64_t endpointHandle = 0;
        uint16_t layerId = 0;
        uint32_t calloutId = 0;
        std::shared_ptr<FlowContext> context;
    };

    std::shared_ptr<FlowContext> DetachContext(uint64_t flowId, uint16_t& layerId, uint32_t& calloutId);

    FilterCallouts* callouts_ = nullptr;
    mutable std::mutex mutex_;
    uint64_t now_;
    uint64_t nextHandle_ = 0x1000;
    std::map<uint64_t, SimFlow> flows_;
    std::vector<std::pair<uint64_t, ConnectCompletion>> completions_;
    int batchDepth_ = 0;
    std::size_t batchedCompletions_ = 0;
    std::vector<StreamInjection> injections_;
    uint32_t injectionStatus_ = 0;
    std::size_t redirectReleases_ = 0;
    NfePortRules ports_;
    std::size_t passedConnects_ = 0;
    bool failPorts_ = false;
};

}  // namespace hbt
