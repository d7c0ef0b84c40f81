#include "HbtEngineDrv/netfilter/netfilter_platform.h"

#include <errno.h>
#include <poll.h>
#include <string.h>
#include <time.h>

#include <cstring>
#include <iostream>

#include "HbtEngineDrv/netfilter/packet_marks.h"
#include "HbtEngineDrv/netfilter/tcp_packet.h"
#include "engine_protocol/nfe_protocol.h"

namespace hbt {
namespace {

constexpr int kLoopTickMs = 1000;
constexpr uint64_t kPruneInterval = 10000000;  // 1 s, in 100 ns units

}  // namespace

NetfilterPlatform::NetfilterPlatform(NetfilterOptions options)
    : options_(std::move(options)),
      rules_({options_.connectQueue, options_.streamQueue}),
      attribution_(sockDiag_),
      flows_(streamQueue_, conntrack_, sockDiag_, [this](const std::string& line) { Log(line); }),
      monitor_(rules_, options_.monitorInterval, [this](const std::string& line) { Log(line); }) {}

NetfilterPlatform::~NetfilterPlatform() { Stop(); }

void NetfilterPlatform::Log(const std::string& line) {
    if (options_.log) {
        options_.log(line);
    } else {
        std::cerr << line << std::endl;
    }
}

uint64_t NetfilterPlatform::Now() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 10000000 + static_cast<uint64_t>(ts.tv_nsec) / 100;
}

bool NetfilterPlatform::Start(FilterCallouts& callouts, std::string* error) {
    if (started_) {
        *error = "already started";
        return false;
    }
    callouts_ = &callouts;
    if (!sockDiag_.Ok()) {
        *error = std::string("socket diagnostics are not available: ") + strerror(errno);
        return false;
    }
    if (!connectQueue_.Open(options_.connectQueue, options_.queueLength, error) ||
        !streamQueue_.Open(options_.streamQueue, options_.queueLength, error) || !conntrack_.Open(error) ||
        !conntrack_.ListenForEnds(error)) {
        connectQueue_.Close();
        streamQueue_.Close();
        return false;
    }
    commands_.Open();
    started_ = true;
    if (!rules_.Install(error)) {
        Stop();
        return false;
    }
    running_ = true;
    loop_ = std::thread([this] { Loop(); });
    monitor_.Start();
    return true;
}

void NetfilterPlatform::Stop() {
    if (!started_) return;
    running_ = false;
    commands_.Wake();
    monitor_.Stop();
    if (loop_.joinable()) loop_.join();

    // No new packet reaches the queues once the rules are gone; what is
    // still queued or held then passes, so closing the queues drops nothing.
    std::string error;
    if (!rules_.Remove(&error)) Log("Removing the engine's rules failed: " + error);
    ReleaseEverything();
    connectQueue_.Receive([this](QueuedPacket&& p) { connectQueue_.SetVerdict(p.id, Verdict::kAccept); });
    streamQueue_.Receive([this](QueuedPacket&& p) { streamQueue_.SetVerdict(p.id, Verdict::kAccept); });
    conntrack_.DeleteMarked(kMarkTag, kMarkTagMask);
    connectQueue_.Close();
    streamQueue_.Close();
    commands_.Close();
    started_ = false;
}

void NetfilterPlatform::ReleaseEverything() {
    AcceptAll(connects_.TakeAllPackets());
    flows_.ReleaseAll();
}

void NetfilterPlatform::Loop() {
    uint64_t lastPrune = Now();
    while (running_) {
        pollfd fds[4] = {{connectQueue_.Fd(), POLLIN, 0},
                         {streamQueue_.Fd(), POLLIN, 0},
                         {commands_.Fd(), POLLIN, 0},
                         {conntrack_.EventFd(), POLLIN, 0}};
        const int n = poll(fds, 4, kLoopTickMs);
        if (n < 0 && errno != EINTR) {
            Log(std::string("Waiting for packets failed: ") + strerror(errno));
            break;
        }
        if (!running_) break;
        ReadQueues(fds);
        // Pruned by time, not on idle ticks: a busy machine never idles.
        if (const uint64_t now = Now(); now - lastPrune > kPruneInterval) {
            connects_.PruneAnswers(now);
            lastPrune = now;
        }
    }
}

void NetfilterPlatform::ReadQueues(const pollfd* fds) {
    if (fds[2].revents != 0) commands_.RunPending();
    if (fds[0].revents != 0) {
        // Retransmitted SYNs and connects let go at once are answered together.
        CompletionBatch batch(*this);
        if (!connectQueue_.Receive([this](QueuedPacket&& p) { OnConnectPacket(std::move(p)); })) {
            Log(std::string("Reading the connect queue failed: ") + strerror(errno));
        }
    }
    if (fds[1].revents != 0 && !streamQueue_.Receive([this](QueuedPacket&& p) { OnStreamPacket(std::move(p)); })) {
        Log(std::string("Reading the stream queue failed: ") + strerror(errno));
    }
    if (fds[3].revents != 0) {
        conntrack_.ReadEnds([this](const TcpFourTuple& t, uint32_t mark) { OnConnectionEnd(t, mark); });
    }
}

void NetfilterPlatform::AcceptAll(const std::vector<uint32_t>& packetIds, uint32_t mark) {
    for (uint32_t id : packetIds) connectQueue_.SetVerdict(id, Verdict::kAccept, mark);
}

void NetfilterPlatform::OnConnectPacket(QueuedPacket&& packet) {
    const auto parsed = TcpPacket::Parse(packet.payload.data(), packet.payload.size());
    if (!parsed || !parsed->Syn()) {
        connectQueue_.SetVerdict(packet.id, Verdict::kAccept);
        return;
    }
    const TcpFourTuple tuple = TupleOf(*parsed, true);
    // A retransmitted SYN joins its held connect, or gets the answer it already had.
    const HeldConnects::SynMatch match = connects_.Match(tuple, parsed->sequence, packet.id);
    if (match.kind == HeldConnects::SynMatch::Kind::kJoined) return;
    if (match.kind == HeldConnects::SynMatch::Kind::kAnswered) {
        connectQueue_.SetVerdict(packet.id, Verdict::kAccept, match.mark);
        return;
    }
    const ClassifyInfo info =
        connects_.Hold(tuple, parsed->sequence, packet.id, attribution_.DescribeConnect(tuple));
    if (callouts_->ClassifyConnect(info) == ConnectAction::kPermit) {
        CompleteConnect(info.connectHandle, ConnectCompletion{});
    }
}

void NetfilterPlatform::CompleteConnect(uint64_t connectHandle, const ConnectCompletion& completion) {
    std::optional<PendingConnect> pending = connects_.Take(connectHandle);
    if (!pending) return;
    const uint32_t mark = completion.redirect ? RedirectMark(pending->tuple, completion.newRemote) : 0;
    // Done on the caller's thread: the connect goes on without waiting for ours.
    FinishConnect(std::move(*pending), mark, mark != 0);
}

uint32_t NetfilterPlatform::RedirectMark(const TcpFourTuple& tuple, const SocketAddressSlot& to) {
    if (to.IsIpv6() != tuple.ipv6 || (!to.IsIpv4() && !to.IsIpv6())) {
        Log("A redirect to another address family was ignored");
        return 0;
    }
    RedirectTarget target;
    target.ipv6 = to.IsIpv6();
    std::memcpy(target.address.data(), to.AddressBytes(), to.AddressLength());
    target.port = to.Port();
    std::string error;
    const uint32_t mark = rules_.RedirectMark(target, &error);
    if (mark == 0) Log("A redirect could not be set up: " + error);
    return mark;
}

void NetfilterPlatform::ReleaseRedirects() {
    std::string error;
    if (!rules_.ReleaseRedirects(&error)) Log("Removing the redirect rules failed: " + error);
}

bool NetfilterPlatform::SetConnectPorts(const NfePortRules& ports) {
    std::string error;
    if (rules_.SetConnectPorts(ports, &error)) return true;
    Log("The connect rules could not be changed: " + error);
    return false;
}

void NetfilterPlatform::FinishConnect(PendingConnect pending, uint32_t mark, bool redirected) {
    if (!redirected) {
        // The engine decides at flow establishment whether it inspects the
        // connection; the answer is known now, so the SYN carries the
        // inspection mark from the start.
        ClassifyInfo established = flows_.Establish(pending.handle, pending.tuple, std::move(pending.info));
        callouts_->ClassifyFlowEstablished(established);
        if (flows_.KeepIfInspected(pending.handle, std::move(established))) mark = kMarkInspect;
    }
    connects_.RecordAnswer(pending.tuple, pending.isn, mark, Now());
    AcceptAll(pending.packetIds, mark);
}

bool NetfilterPlatform::AssociateFlowContext(uint64_t flowId, uint16_t layerId, uint32_t calloutId,
                                             std::shared_ptr<FlowContext> context) {
    return flows_.Associate(flowId, layerId, calloutId, std::move(context));
}

bool NetfilterPlatform::RemoveFlowContext(uint64_t flowId, uint16_t, uint32_t) {
    if (!flows_.IsInspected(flowId)) return false;
    // The engine may hold its own locks here; it hears of the end from the loop.
    commands_.Post([this, flowId] { EndFlow(flowId, false, kConnMarkReleased); });
    return true;
}

void NetfilterPlatform::EndFlow(uint64_t flowId, bool drop, uint32_t connectionMark) {
    ReportEnded(flows_.End(flowId, drop, connectionMark));
}

void NetfilterPlatform::ReportEnded(const std::optional<EndedFlow>& ended) {
    if (ended) callouts_->FlowDeleted(ended->layerId, ended->calloutId, ended->context);
}

void NetfilterPlatform::OnConnectionEnd(const TcpFourTuple& tuple, uint32_t mark) {
    if (mark != kConnMarkInspect && mark != kConnMarkBlocked) return;
    if (const std::optional<uint64_t> id = flows_.FlowOf(tuple)) EndFlow(*id, false, 0);
}

void NetfilterPlatform::OnStreamPacket(QueuedPacket&& packet) {
    const std::optional<StreamWork> work = flows_.Take(std::move(packet));
    if (!work) return;
    const StreamAction action = callouts_->ClassifyStream(work->info, work->segment, work->context);
    ReportEnded(flows_.Finish(*work, action));
}

uint32_t NetfilterPlatform::InjectStream(const StreamInjection& injection) {
    if (!InspectedFlows::ClosesTowardsApplication(injection)) return flows_.Inject(injection);
    const uint32_t status = flows_.CloseTowardsApplication(injection.flowId);
    // Ended from the loop, which drops what still arrives meanwhile.
    if (status == kStatusSuccess) commands_.Post([this, id = injection.flowId] { EndFlow(id, true, 0); });
    return status;
}

}  // namespace hbt
