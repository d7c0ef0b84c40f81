#pragma once
// NetfilterPlatform: the engine's filtering platform on Linux. Outgoing TCP
// connects are held in a netfilter queue until the engine answers; answers
// become verdicts (with a packet mark for redirects and inspection); payload
// packets of inspected connections go through a second queue, where held
// packets stand for captured segments and injections release them.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>

#include "HbtEngineDrv/netfilter/conntrack_client.h"
#include "HbtEngineDrv/netfilter/held_stream.h"
#include "HbtEngineDrv/netfilter/netfilter_rules.h"
#include "HbtEngineDrv/netfilter/nf_queue.h"
#include "HbtEngineDrv/netfilter/process_resolver.h"
#include "HbtEngineDrv/netfilter/sock_diag.h"
#include "HbtEngineDrv/netfilter/tcp_packet.h"
#include "HbtEngineDrv/platform/filter_platform.h"

namespace hbt {

struct NetfilterOptions {
    uint16_t connectQueue = 4770;
    uint16_t streamQueue = 4771;
    uint32_t queueLength = 8192;
    std::chrono::milliseconds monitorInterval{2000};
    // Receives the platform's diagnostics (one line each).
    std::function<void(const std::string&)> log;
};

struct TupleHash {
    std::size_t operator()(const TcpFourTuple& t) const;
};
bool operator==(const TcpFourTuple& a, const TcpFourTuple& b);

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
    uint32_t InjectStream(const StreamInjection& injection) override;
    bool AssociateFlowContext(uint64_t flowId, uint16_t layerId, uint32_t calloutId,
                              std::shared_ptr<FlowContext> context) override;
    bool RemoveFlowContext(uint64_t flowId, uint16_t layerId, uint32_t calloutId) override;

private:
    struct PendingConnect {
        uint64_t handle = 0;
        TcpFourTuple tuple;
        uint32_t isn = 0;
        std::vector<uint32_t> packetIds;
        ClassifyInfo info;
    };
    struct AnsweredConnect {
        uint32_t isn = 0;
        uint32_t mark = 0;
        uint64_t time = 0;
    };
    struct Flow {
        uint64_t id = 0;
        TcpFourTuple tuple;
        ClassifyInfo info;  // as reported at flow establishment
        uint16_t layerId = 0;
        uint32_t calloutId = 0;
        std::shared_ptr<FlowContext> context;
        HeldStream send;
        HeldStream receive;
        bool finSent = false;
        bool finReceived = false;
    };

    // A stream packet on its way to the engine.
    struct StreamWork {
        uint64_t flowId = 0;
        ClassifyInfo info;
        StreamSegment segment;
        std::shared_ptr<FlowContext> context;
    };
    enum class StreamStep { kAccept, kDrop, kClassify };

    void Log(const std::string& line);
    void Post(std::function<void()> command);
    void Loop();
    void MonitorLoop();
    void OnConnectPacket(QueuedPacket&& packet);
    void OnStreamPacket(QueuedPacket&& packet);
    StreamStep TakeStreamPacket(QueuedPacket&& packet, const TcpPacket& parsed, bool outgoing, StreamWork& work);
    void FinishStreamPacket(const StreamWork& work, uint32_t packetId, bool outgoing, bool reset, StreamAction action);
    void OnConnectionEnd(const TcpFourTuple& tuple, uint32_t mark);
    void FinishConnect(PendingConnect pending, uint32_t mark, bool redirected);
    ClassifyInfo Describe(const TcpFourTuple& tuple);
    // Takes a flow out of the tables; its held packets pass (or are dropped
    // when `drop`), and the engine hears that it ended.
    void EndFlow(uint64_t flowId, bool drop, uint32_t connectionMark);
    uint32_t CloseTowardsApplication(Flow& flow);
    void AcceptAll(const std::vector<uint32_t>& packetIds, uint32_t mark = 0);
    void ReleaseEverything();
    void PruneAnswered();

    NetfilterOptions options_;
    FilterCallouts* callouts_ = nullptr;
    NetfilterRules rules_;
    NfQueue connectQueue_;
    NfQueue streamQueue_;
    ConntrackClient conntrack_;
    SockDiag sockDiag_;
    ProcessResolver processes_;

    std::mutex mutex_;  // the tables below; never held while calling the engine
    uint64_t nextId_ = 0;
    std::unordered_map<uint64_t, PendingConnect> pending_;
    std::unordered_map<TcpFourTuple, uint64_t, TupleHash> pendingByTuple_;
    std::unordered_map<TcpFourTuple, AnsweredConnect, TupleHash> answered_;
    std::unordered_map<uint64_t, Flow> flows_;
    std::unordered_map<TcpFourTuple, uint64_t, TupleHash> flowsByTuple_;

    std::mutex commandMutex_;
    std::deque<std::function<void()>> commands_;
    int wakeFd_ = -1;
    std::atomic<bool> running_{false};
    std::thread loop_;

    std::mutex monitorMutex_;
    std::condition_variable monitorWake_;
    std::thread monitor_;
    bool started_ = false;
};

}  // namespace hbt
