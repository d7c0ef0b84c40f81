#pragma once
// InspectedFlows: the connections the engine inspects, from their
// establishment until they end, with the packets of each direction held in
// the stream queue until the engine hands their bytes back (or others in
// their place). Verdicts for held packets are given here; the engine is never
// called from here, and the caller tells it of the flows that end.
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "HbtEngineDrv/netfilter/conntrack_client.h"
#include "HbtEngineDrv/netfilter/held_stream.h"
#include "HbtEngineDrv/netfilter/nf_queue.h"
#include "HbtEngineDrv/netfilter/raw_segments.h"
#include "HbtEngineDrv/netfilter/sock_diag.h"
#include "HbtEngineDrv/netfilter/tcp_four_tuple.h"
#include "HbtEngineDrv/platform/filter_platform.h"

namespace hbt {

// A stream packet on its way to the engine; it is held meanwhile.
struct StreamWork {
    uint64_t flowId = 0;
    uint32_t packetId = 0;
    bool outgoing = false;
    bool reset = false;
    ClassifyInfo info;
    StreamSegment segment;
    std::shared_ptr<FlowContext> context;
};

// What the engine hears of a flow that ended: FlowDeleted, if it had a context.
struct EndedFlow {
    uint16_t layerId = 0;
    uint32_t calloutId = 0;
    std::shared_ptr<FlowContext> context;
};

class InspectedFlows {
public:
    InspectedFlows(NfQueue& streamQueue, ConntrackClient& conntrack, SockDiag& sockDiag,
                   std::function<void(const std::string&)> log);

    // A connect permitted as it was: the flow is known while the engine hears
    // of its establishment, which the returned info describes (the connect's,
    // taken over, at the flow-established layer with the flow's handles).
    ClassifyInfo Establish(uint64_t id, const TcpFourTuple& tuple, ClassifyInfo connect);
    // After the engine heard of the establishment (`established`, as Establish
    // returned it): true when it took up the flow (its packets go through the
    // stream queue from now on), which keeps `established` for them; the flow
    // is forgotten otherwise.
    bool KeepIfInspected(uint64_t id, ClassifyInfo&& established);
    bool Associate(uint64_t id, uint16_t layerId, uint32_t calloutId, std::shared_ptr<FlowContext> context);
    bool IsInspected(uint64_t id);
    std::optional<uint64_t> FlowOf(const TcpFourTuple& tuple);

    // Takes the flow out; its held packets pass (or are dropped when `drop`),
    // and a connection mark other than 0 is set on its connection. Returns
    // what the engine hears of it, for a flow with a context.
    std::optional<EndedFlow> End(uint64_t id, bool drop, uint32_t connectionMark);
    // Lets every held packet go and forgets every flow.
    void ReleaseAll();

    // A packet from the stream queue. nullopt when it got its verdict here;
    // otherwise it is held and goes to the engine.
    std::optional<StreamWork> Take(QueuedPacket&& packet);
    // The engine's answer to a packet taken: a packet not blocked passes,
    // unless the engine already gave it back. Returns what the engine hears
    // when this ends the flow.
    std::optional<EndedFlow> Finish(const StreamWork& work, StreamAction action);

    // Whether an injection asks to close the connection towards the application.
    static bool ClosesTowardsApplication(const StreamInjection& injection);
    // The engine's bytes: those it was given release their held packets,
    // others take the place of what is held. Returns a status.
    uint32_t Inject(const StreamInjection& injection);
    // Drops what is held, aborts the application's socket and resets the
    // remote end; later packets are dropped by the rules. The caller ends the
    // flow (dropping) afterwards. Returns a status.
    uint32_t CloseTowardsApplication(uint64_t id);

private:
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
    enum class StreamStep { kAccept, kDrop, kClassify };
    // What an injection does once the lock is let go.
    struct InjectionPlan {
        std::vector<HeldPacket> release;   // given back: they pass
        std::vector<HeldPacket> replaced;  // the first passes as `replacement`, the rest never pass
        std::vector<uint8_t> replacement;
        std::optional<RawSegment> answer;  // sent to the application instead
    };

    // These run with mutex_ held.
    StreamStep TakeLocked(QueuedPacket&& packet, const TcpPacket& parsed, bool outgoing, StreamWork& work);
    uint32_t PlanLocked(Flow& flow, const StreamInjection& injection, InjectionPlan& plan);
    void CloseLocked(Flow& flow);

    void Carry(const InjectionPlan& plan);
    void SetVerdicts(const std::vector<HeldPacket>& packets, bool drop);

    NfQueue& streamQueue_;
    ConntrackClient& conntrack_;
    SockDiag& sockDiag_;
    const std::function<void(const std::string&)> log_;

    std::mutex mutex_;  // both tables change together
    std::unordered_map<uint64_t, Flow> flows_;
    std::unordered_map<TcpFourTuple, uint64_t, TupleHash> byTuple_;  // inspected flows only
};

}  // namespace hbt
