#include "HbtEngineDrv/netfilter/inspected_flows.h"

#include <errno.h>
#include <netinet/in.h>  // before the kernel headers, which defer to it
#include <linux/netfilter.h>
#include <string.h>

#include "HbtEngineDrv/netfilter/packet_marks.h"
#include "engine_protocol/nfe_protocol.h"

namespace hbt {
namespace {

constexpr uint32_t kSendFlags = NFE_STREAM_FLAG_SEND | NFE_STREAM_FLAG_SEND_EXPEDITED |
                                NFE_STREAM_FLAG_SEND_DISCONNECT | NFE_STREAM_FLAG_SEND_ABORT;
constexpr uint32_t kDisconnectFlags = NFE_STREAM_FLAG_RECEIVE_DISCONNECT | NFE_STREAM_FLAG_SEND_DISCONNECT;

uint32_t SegmentFlags(const TcpPacket& p, bool outgoing) {
    uint32_t flags = outgoing ? NFE_STREAM_FLAG_SEND : NFE_STREAM_FLAG_RECEIVE;
    if (p.Fin()) flags |= outgoing ? NFE_STREAM_FLAG_SEND_DISCONNECT : NFE_STREAM_FLAG_RECEIVE_DISCONNECT;
    if (p.Rst()) flags |= outgoing ? NFE_STREAM_FLAG_SEND_ABORT : NFE_STREAM_FLAG_RECEIVE_ABORT;
    return flags;
}

}  // namespace

InspectedFlows::InspectedFlows(NfQueue& streamQueue, ConntrackClient& conntrack, SockDiag& sockDiag,
                               std::function<void(const std::string&)> log)
    : streamQueue_(streamQueue), conntrack_(conntrack), sockDiag_(sockDiag), log_(std::move(log)) {}

ClassifyInfo InspectedFlows::Establish(uint64_t id, const TcpFourTuple& tuple, ClassifyInfo connect) {
    connect.layerId = tuple.ipv6 ? kLayerFlowEstablishedV6 : kLayerFlowEstablishedV4;
    connect.flowHandle = id;
    connect.endpointHandle = id;
    // Kept without the info, which only an inspected flow needs: KeepIfInspected hands it over.
    Flow flow;
    flow.id = id;
    flow.tuple = tuple;
    std::lock_guard lock(mutex_);
    flows_[id] = std::move(flow);
    return connect;
}

bool InspectedFlows::KeepIfInspected(uint64_t id, ClassifyInfo&& established) {
    std::lock_guard lock(mutex_);
    auto it = flows_.find(id);
    if (it == flows_.end()) return false;
    if (!it->second.context) {
        flows_.erase(it);
        return false;
    }
    it->second.info = std::move(established);
    byTuple_[it->second.tuple] = id;
    return true;
}

bool InspectedFlows::Associate(uint64_t id, uint16_t layerId, uint32_t calloutId,
                               std::shared_ptr<FlowContext> context) {
    std::lock_guard lock(mutex_);
    auto it = flows_.find(id);
    if (it == flows_.end() || it->second.context) return false;
    it->second.layerId = layerId;
    it->second.calloutId = calloutId;
    it->second.context = std::move(context);
    return true;
}

bool InspectedFlows::IsInspected(uint64_t id) {
    std::lock_guard lock(mutex_);
    auto it = flows_.find(id);
    return it != flows_.end() && it->second.context;
}

std::optional<uint64_t> InspectedFlows::FlowOf(const TcpFourTuple& tuple) {
    std::lock_guard lock(mutex_);
    auto it = byTuple_.find(tuple);
    if (it == byTuple_.end()) return std::nullopt;
    return it->second;
}

std::optional<EndedFlow> InspectedFlows::End(uint64_t id, bool drop, uint32_t connectionMark) {
    Flow flow;
    {
        std::lock_guard lock(mutex_);
        auto it = flows_.find(id);
        if (it == flows_.end()) return std::nullopt;
        flow = std::move(it->second);
        flows_.erase(it);
        byTuple_.erase(flow.tuple);
    }
    if (connectionMark != 0) conntrack_.SetMark(flow.tuple, connectionMark);
    SetVerdicts(flow.send.TakeAll(), drop);
    SetVerdicts(flow.receive.TakeAll(), drop);
    if (!flow.context) return std::nullopt;
    return EndedFlow{flow.layerId, flow.calloutId, std::move(flow.context)};
}

void InspectedFlows::ReleaseAll() {
    std::unordered_map<uint64_t, Flow> flows;
    {
        std::lock_guard lock(mutex_);
        flows.swap(flows_);
        byTuple_.clear();
    }
    for (auto& [id, flow] : flows) {
        SetVerdicts(flow.send.TakeAll(), false);
        SetVerdicts(flow.receive.TakeAll(), false);
    }
}

std::optional<StreamWork> InspectedFlows::Take(QueuedPacket&& packet) {
    const auto parsed = TcpPacket::Parse(packet.payload.data(), packet.payload.size());
    const bool outgoing = packet.hook == NF_INET_LOCAL_OUT;
    if (!parsed || (parsed->payloadLength == 0 && !parsed->Fin() && !parsed->Rst())) {
        // Handshake and bare acknowledgements carry nothing to inspect.
        streamQueue_.SetVerdict(packet.id, Verdict::kAccept);
        return std::nullopt;
    }
    const uint32_t packetId = packet.id;
    StreamWork work;
    StreamStep step;
    {
        std::lock_guard lock(mutex_);
        step = TakeLocked(std::move(packet), *parsed, outgoing, work);
    }
    if (step != StreamStep::kClassify) {
        streamQueue_.SetVerdict(packetId, step == StreamStep::kDrop ? Verdict::kDrop : Verdict::kAccept);
        return std::nullopt;
    }
    return work;
}

InspectedFlows::StreamStep InspectedFlows::TakeLocked(QueuedPacket&& packet, const TcpPacket& parsed, bool outgoing,
                                                      StreamWork& work) {
    auto byTuple = byTuple_.find(TupleOf(parsed, outgoing));
    if (byTuple == byTuple_.end()) return StreamStep::kAccept;
    Flow& flow = flows_[byTuple->second];
    HeldStream& stream = outgoing ? flow.send : flow.receive;
    std::size_t offset = 0;
    const std::size_t length = parsed.payloadLength + (parsed.Fin() ? 1 : 0);
    switch (stream.Classify(parsed.sequence, length, &offset)) {
        case HeldStream::Kind::kHeldRetransmit:
            return StreamStep::kDrop;  // the original is held; it must not be overtaken
        case HeldStream::Kind::kOld:
            if (!parsed.Rst()) return StreamStep::kAccept;
            break;
        case HeldStream::Kind::kNew:
            break;
    }
    work.flowId = flow.id;
    work.packetId = packet.id;
    work.outgoing = outgoing;
    work.reset = parsed.Rst();
    work.info = flow.info;
    work.info.layerId = flow.layerId;
    work.context = flow.context;
    work.segment.streamFlags = SegmentFlags(parsed, outgoing);
    const uint8_t* payload = packet.payload.data() + parsed.payloadOffset;
    if (offset < parsed.payloadLength) work.segment.data.assign(payload + offset, payload + parsed.payloadLength);
    (outgoing ? flow.finSent : flow.finReceived) |= parsed.Fin();

    // Held before the engine sees it: the engine may hand the segment back
    // (from another thread) before its classification returns.
    HeldPacket held;
    held.packetId = packet.id;
    held.sequence = parsed.sequence;
    held.endSequence = parsed.sequence + static_cast<uint32_t>(length);
    held.data = work.segment.data;
    held.packet = std::move(packet.payload);
    stream.Hold(std::move(held));
    return StreamStep::kClassify;
}

std::optional<EndedFlow> InspectedFlows::Finish(const StreamWork& work, StreamAction action) {
    bool ended = work.reset;
    {
        std::lock_guard lock(mutex_);
        auto it = flows_.find(work.flowId);
        // A flow that ended meanwhile has already let its held packets go.
        if (it == flows_.end()) return std::nullopt;
        Flow& flow = it->second;
        ended = ended || (flow.finSent && flow.finReceived);
        if (action != StreamAction::kBlock && (work.outgoing ? flow.send : flow.receive).TakePacket(work.packetId)) {
            streamQueue_.SetVerdict(work.packetId, Verdict::kAccept);
        }
    }
    if (action == StreamAction::kAllowConnection) return End(work.flowId, false, ended ? 0 : kConnMarkReleased);
    if (ended) return End(work.flowId, false, 0);
    return std::nullopt;
}

bool InspectedFlows::ClosesTowardsApplication(const StreamInjection& injection) {
    return (injection.streamFlags & kSendFlags) == 0 && injection.data.empty() &&
           (injection.streamFlags & NFE_STREAM_FLAG_RECEIVE_DISCONNECT) != 0;
}

uint32_t InspectedFlows::Inject(const StreamInjection& injection) {
    if (injection.data.empty() && (injection.streamFlags & kDisconnectFlags) == 0) return kStatusInvalidParameter;
    InjectionPlan plan;
    {
        std::lock_guard lock(mutex_);
        auto it = flows_.find(injection.flowId);
        if (it == flows_.end() || !it->second.context) return kStatusNotFound;
        if (const uint32_t status = PlanLocked(it->second, injection, plan); status != kStatusSuccess) return status;
    }
    Carry(plan);
    return kStatusSuccess;
}

uint32_t InspectedFlows::PlanLocked(Flow& flow, const StreamInjection& injection, InjectionPlan& plan) {
    const bool outgoing = (injection.streamFlags & kSendFlags) != 0;
    HeldStream& stream = outgoing ? flow.send : flow.receive;
    if (auto matching = stream.TakeMatching(injection.data)) {
        plan.release = std::move(*matching);
    } else if (!stream.Empty() && !injection.data.empty()) {
        // Other bytes than the captured ones (a refusal): they take the
        // place of the first held packet, and the rest of what is held
        // in that direction never passes.
        plan.replaced = stream.TakeAll();
        const HeldPacket& first = plan.replaced.front();
        const auto parsed = TcpPacket::Parse(first.packet.data(), first.packet.size());
        if (!parsed) return kStatusUnsuccessful;
        plan.replacement = ReplaceTcpPayload(first.packet.data(), *parsed, injection.data.data(), injection.data.size());
    } else if (!outgoing && !injection.data.empty() && !flow.send.Empty()) {
        // A refusal for the application with nothing held towards it (the
        // judged hello is still held): it goes to the application as the
        // peer's answer to that hello.
        plan.answer = AnswerTo(flow.send.Front(), injection.data);
        if (!plan.answer) return kStatusUnsuccessful;
    } else if (!outgoing && !injection.data.empty()) {
        log_("A refusal could not be delivered to the application: nothing was held on its connection");
    } else {
        // Nothing held to carry the bytes out.
        return kStatusUnsuccessful;
    }
    return kStatusSuccess;
}

void InspectedFlows::Carry(const InjectionPlan& plan) {
    if (plan.answer) {
        const int rc = SendRawSegment(*plan.answer);
        if (rc != 0) log_(std::string("A refusal could not be delivered to the application: ") + strerror(rc));
        return;
    }
    SetVerdicts(plan.release, false);
    if (!plan.replaced.empty()) {
        streamQueue_.SetVerdict(plan.replaced.front().packetId, Verdict::kAccept, 0, plan.replacement);
        for (std::size_t i = 1; i < plan.replaced.size(); ++i) {
            streamQueue_.SetVerdict(plan.replaced[i].packetId, Verdict::kDrop);
        }
    }
}

uint32_t InspectedFlows::CloseTowardsApplication(uint64_t id) {
    std::lock_guard lock(mutex_);
    auto it = flows_.find(id);
    if (it == flows_.end() || !it->second.context) return kStatusNotFound;
    CloseLocked(it->second);
    return kStatusSuccess;
}

void InspectedFlows::CloseLocked(Flow& flow) {
    // Later packets of the connection are dropped by the rules, what is held
    // is dropped now, and the application's socket is aborted. The rules drop
    // the reset the aborted socket sends, so the remote end gets one of ours.
    conntrack_.SetMark(flow.tuple, kConnMarkBlocked);
    const std::optional<RawSegment> reset = RemoteResetFor(flow.send, flow.receive);
    SetVerdicts(flow.send.TakeAll(), true);
    SetVerdicts(flow.receive.TakeAll(), true);
    int rc = sockDiag_.Destroy(flow.tuple);
    if (rc != 0 && rc != ENOENT) log_(std::string("Aborting a local socket failed: ") + strerror(rc));
    if (reset && (rc = SendRawSegment(*reset)) != 0) {
        log_(std::string("Resetting the remote end of a closed connection failed: ") + strerror(rc));
    }
}

void InspectedFlows::SetVerdicts(const std::vector<HeldPacket>& packets, bool drop) {
    for (const HeldPacket& h : packets) streamQueue_.SetVerdict(h.packetId, drop ? Verdict::kDrop : Verdict::kAccept);
}

}  // namespace hbt
