#pragma once
// NetfilterPlatform: the engine's filtering platform on Linux. Outgoing TCP
// connects are held in a netfilter queue until the engine answers; answers
// become verdicts (with a packet mark for redirects and inspection); payload
// packets of inspected connections go through a second queue, where held
// packets stand for captured segments and injections release them. One loop
// thread reads both queues and the ends of tracked connections; the tables
// live in HeldConnects and InspectedFlows.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "HbtEngineDrv/netfilter/command_queue.h"
#include "HbtEngineDrv/netfilter/conntrack_client.h"
#include "HbtEngineDrv/netfilter/held_connects.h"
#include "HbtEngineDrv/netfilter/inspected_flows.h"
#include "HbtEngineDrv/netfilter/netfilter_rules.h"
#include "HbtEngineDrv/netfilter/nf_queue.h"
#include "HbtEngineDrv/netfilter/process_attribution.h"
#include "HbtEngineDrv/netfilter/rule_monitor.h"
#include "HbtEngineDrv/netfilter/sock_diag.h"
#include "HbtEngineDrv/platform/filter_platform.h"

struct pollfd;

namespace hbt {

struct NetfilterOptions {
    uint16_t connectQueue = 4770;
    uint16_t streamQueue = 4771;
    uint32_t queueLength = 8192;
    std::chrono::milliseconds monitorInterval{2000};
    // Receives the platform's diagnostics (one line each).
    std::function<void(const std::string&)> log;
};

class NetfilterPlatform final : public FilterPlatform {
public:
    explicit NetfilterPlatform(NetfilterOptions options = {});
    ~NetfilterPlatform() override;
    NetfilterPlatform(const NetfilterPlatform&) = delete;
    NetfilterPlatform& operator=(const NetfilterPlatform&) = delete;

    // Opens the queues, installs the rules and starts reporting to `callouts`.
    // On failure nothing of ours is left installed.
    bool Start(FilterCallouts& callouts, std::string* error);
    // Lets every held packet go, removes the rules and our connection-tracking
    // entries. Safe to call more than once.
    void Stop();

    // FilterPlatform. CompleteConnect reports the connection's establishment
    // (ClassifyFlowEstablished) before it returns, so that the SYN already
    // carries the inspection mark when the engine inspects the flow: the
    // engine must not hold a lock across CompleteConnect that its
    // ClassifyFlowEstablished takes. Everything else the engine hears of
    // comes from the platform's own thread.
    uint64_t Now() override;
    void CompleteConnect(uint64_t connectHandle, const ConnectCompletion& completion) override;
    // The verdicts of a batch go to the kernel in one write.
    void BeginCompletionBatch() override { NfQueue::BeginVerdictBatch(); }
    void EndCompletionBatch() override { NfQueue::EndVerdictBatch(); }
    uint32_t InjectStream(const StreamInjection& injection) override;
    bool AssociateFlowContext(uint64_t flowId, uint16_t layerId, uint32_t calloutId,
                              std::shared_ptr<FlowContext> context) override;
    bool RemoveFlowContext(uint64_t flowId, uint16_t layerId, uint32_t calloutId) override;
    // Removes the DNAT rules of every redirect target (each program start
    // brings a new proxy address).
    void ReleaseRedirects() override;
    bool SetConnectPorts(const NfePortRules& ports) override;

private:
    void Log(const std::string& line);
    void Loop();
    void ReadQueues(const pollfd* fds);
    void OnConnectPacket(QueuedPacket&& packet);
    void OnStreamPacket(QueuedPacket&& packet);
    void OnConnectionEnd(const TcpFourTuple& tuple, uint32_t mark);
    uint32_t RedirectMark(const TcpFourTuple& tuple, const SocketAddressSlot& to);
    void FinishConnect(PendingConnect pending, uint32_t mark, bool redirected);
    // Takes a flow out of the tables; its held packets pass (or are dropped
    // when `drop`), and the engine hears that it ended.
    void EndFlow(uint64_t flowId, bool drop, uint32_t connectionMark);
    void ReportEnded(const std::optional<EndedFlow>& ended);
    void AcceptAll(const std::vector<uint32_t>& packetIds, uint32_t mark = 0);
    void ReleaseEverything();

    NetfilterOptions options_;
    FilterCallouts* callouts_ = nullptr;
    NetfilterRules rules_;
    NfQueue connectQueue_;
    NfQueue streamQueue_;
    ConntrackClient conntrack_;
    SockDiag sockDiag_;
    ProcessAttribution attribution_;
    HeldConnects connects_;
    InspectedFlows flows_;
    RuleMonitor monitor_;

    CommandQueue commands_;
    std::atomic<bool> running_{false};
    std::thread loop_;
    bool started_ = false;
};

}  // namespace hbt
