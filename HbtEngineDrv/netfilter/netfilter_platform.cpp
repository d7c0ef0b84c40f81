#include "HbtEngineDrv/netfilter/netfilter_platform.h"

#include <errno.h>
#include <netinet/in.h>  // before the kernel headers, which defer to it
#include <linux/netfilter.h>
#include <poll.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
#include <iostream>
#include <optional>

#include "HbtEngineDrv/netfilter/packet_marks.h"
#include "HbtEngineDrv/netfilter/tcp_packet.h"
#include "engine_protocol/nfe_protocol.h"

namespace hbt {
namespace {

// Sends a whole IP packet (built by BuildSegment) to the destination in `h`
// on a raw socket carrying the engine's mark, so the rules let it pass.
// Returns 0 or an errno.
int SendSegment(const TcpPacket& h, const std::vector<uint8_t>& segment) {
    const int fd = socket(h.ipv6 ? AF_INET6 : AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_RAW);
    if (fd < 0) return errno;
    const uint32_t mark = kMarkOwnSocket;
    sockaddr_storage address{};
    socklen_t length = 0;
    if (h.ipv6) {
        auto* in6 = reinterpret_cast<sockaddr_in6*>(&address);
        in6->sin6_family = AF_INET6;
        std::memcpy(&in6->sin6_addr, h.destination.data(), 16);
        length = sizeof *in6;
    } else {
        auto* in = reinterpret_cast<sockaddr_in*>(&address);
        in->sin_family = AF_INET;
        std::memcpy(&in->sin_addr, h.destination.data(), 4);
        length = sizeof *in;
    }
    int rc = 0;
    if (setsockopt(fd, SOL_SOCKET, SO_MARK, &mark, sizeof mark) != 0 ||
        sendto(fd, segment.data(), segment.size(), 0, reinterpret_cast<sockaddr*>(&address), length) < 0) {
        rc = errno;
    }
    close(fd);
    return rc;
}

// The reset that tells the remote end a connection is over, built from a
// held packet: in place of the application's held segment, or as the
// application's answer to the peer's held segment. Empty with nothing held.
std::optional<TcpPacket> ResetHeaderFor(const HeldStream& send, const HeldStream& receive) {
    for (const HeldStream* s : {&send, &receive}) {
        if (s->Empty()) continue;
        const auto parsed = TcpPacket::Parse(s->Front().packet.data(), s->Front().packet.size());
        if (!parsed) continue;
        return s == &send ? *parsed : Reversed(*parsed);
    }
    return std::nullopt;
}

constexpr uint64_t kAnsweredKeep = 120ull * 10000000;  // a late retransmitted SYN still gets its answer
constexpr int kLoopTickMs = 1000;
constexpr uint64_t kPruneInterval = 10000000;  // 1 s, in 100 ns units

constexpr uint32_t kSendFlags = NFE_STREAM_FLAG_SEND | NFE_STREAM_FLAG_SEND_EXPEDITED |
                                NFE_STREAM_FLAG_SEND_DISCONNECT | NFE_STREAM_FLAG_SEND_ABORT;
constexpr uint32_t kDisconnectFlags = NFE_STREAM_FLAG_RECEIVE_DISCONNECT | NFE_STREAM_FLAG_SEND_DISCONNECT;

SocketAddressSlot Slot(bool ipv6, const std::array<uint8_t, 16>& address, uint16_t port) {
    if (ipv6) return SocketAddressSlot::Ipv6(address, port);
    return SocketAddressSlot::Ipv4({address[0], address[1], address[2], address[3]}, port);
}

// The user as a binary security identifier of the Unix-user kind, S-1-22-1-<uid>.
std::vector<uint8_t> UnixUserSid(uint32_t uid) {
    std::vector<uint8_t> sid = {1, 2, 0, 0, 0, 0, 0, 22, 1, 0, 0, 0};
    for (int i = 0; i < 4; ++i) sid.push_back(static_cast<uint8_t>(uid >> (8 * i)));
    return sid;
}

// UTF-8 to UTF-16; a malformed sequence ends the text.
std::u16string Utf16(const std::string& text) {
    std::u16string out;
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const std::size_t extra = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : 0;
        if (i + extra >= text.size() && extra != 0) break;
        uint32_t cp = extra == 0 ? lead : lead & (0x3F >> extra);
        for (std::size_t k = 1; k <= extra; ++k) cp = (cp << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        i += extra + 1;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
    }
    return out;
}

TcpFourTuple TupleOf(const TcpPacket& p, bool outgoing) {
    TcpFourTuple t;
    t.ipv6 = p.ipv6;
    t.local = outgoing ? p.source : p.destination;
    t.remote = outgoing ? p.destination : p.source;
    t.localPort = outgoing ? p.sourcePort : p.destinationPort;
    t.remotePort = outgoing ? p.destinationPort : p.sourcePort;
    return t;
}

uint32_t SegmentFlags(const TcpPacket& p, bool outgoing) {
    uint32_t flags = outgoing ? NFE_STREAM_FLAG_SEND : NFE_STREAM_FLAG_RECEIVE;
    if (p.Fin()) flags |= outgoing ? NFE_STREAM_FLAG_SEND_DISCONNECT : NFE_STREAM_FLAG_RECEIVE_DISCONNECT;
    if (p.Rst()) flags |= outgoing ? NFE_STREAM_FLAG_SEND_ABORT : NFE_STREAM_FLAG_RECEIVE_ABORT;
    return flags;
}

}  // namespace

std::size_t TupleHash::operator()(const TcpFourTuple& t) const {
    std::size_t h = t.ipv6 ? 1469598103934665603ull : 7809847782465536322ull;
    auto mix = [&h](uint64_t v) { h = (h ^ v) * 1099511628211ull; };
    for (int i = 0; i < 16; ++i) mix(static_cast<uint64_t>(t.local[i]) << 8 | t.remote[i]);
    mix(static_cast<uint64_t>(t.localPort) << 16 | t.remotePort);
    return h;
}

bool operator==(const TcpFourTuple& a, const TcpFourTuple& b) {
    return a.ipv6 == b.ipv6 && a.local == b.local && a.remote == b.remote && a.localPort == b.localPort &&
           a.remotePort == b.remotePort;
}

NetfilterPlatform::NetfilterPlatform(NetfilterOptions options)
    : options_(std::move(options)), rules_({options_.connectQueue, options_.streamQueue}) {}

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
    wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    started_ = true;
    if (!rules_.Install(error)) {
        Stop();
        return false;
    }
    running_ = true;
    loop_ = std::thread([this] { Loop(); });
    monitor_ = std::thread([this] { MonitorLoop(); });
    return true;
}

void NetfilterPlatform::Stop() {
    if (!started_) return;
    running_ = false;
    if (wakeFd_ >= 0) {
        const uint64_t one = 1;
        [[maybe_unused]] ssize_t n = write(wakeFd_, &one, sizeof one);
    }
    {
        std::lock_guard lock(monitorMutex_);
        monitorWake_.notify_all();
    }
    if (loop_.joinable()) loop_.join();
    if (monitor_.joinable()) monitor_.join();

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
    if (wakeFd_ >= 0) close(wakeFd_);
    wakeFd_ = -1;
    started_ = false;
}

void NetfilterPlatform::ReleaseEverything() {
    std::unordered_map<uint64_t, PendingConnect> pending;
    std::unordered_map<uint64_t, Flow> flows;
    {
        std::lock_guard lock(mutex_);
        pending.swap(pending_);
        flows.swap(flows_);
        pendingByTuple_.clear();
        flowsByTuple_.clear();
        answered_.clear();
    }
    for (auto& [handle, p] : pending) AcceptAll(p.packetIds);
    for (auto& [id, flow] : flows) {
        for (HeldStream* s : {&flow.send, &flow.receive}) {
            for (const HeldPacket& h : s->TakeAll()) streamQueue_.SetVerdict(h.packetId, Verdict::kAccept);
        }
    }
}

void NetfilterPlatform::Post(std::function<void()> command) {
    {
        std::lock_guard lock(commandMutex_);
        commands_.push_back(std::move(command));
    }
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t n = write(wakeFd_, &one, sizeof one);
}

void NetfilterPlatform::Loop() {
    uint64_t lastPrune = Now();
    while (running_) {
        pollfd fds[4] = {{connectQueue_.Fd(), POLLIN, 0},
                         {streamQueue_.Fd(), POLLIN, 0},
                         {wakeFd_, POLLIN, 0},
                         {conntrack_.EventFd(), POLLIN, 0}};
        const int n = poll(fds, 4, kLoopTickMs);
        if (n < 0 && errno != EINTR) {
            Log(std::string("Waiting for packets failed: ") + strerror(errno));
            break;
        }
        if (!running_) break;
        if (fds[2].revents != 0) {
            uint64_t count = 0;
            [[maybe_unused]] ssize_t r = read(wakeFd_, &count, sizeof count);
            std::deque<std::function<void()>> commands;
            {
                std::lock_guard lock(commandMutex_);
                commands.swap(commands_);
            }
            for (auto& command : commands) command();
        }
        if (fds[0].revents != 0 && !connectQueue_.Receive([this](QueuedPacket&& p) { OnConnectPacket(std::move(p)); })) {
            Log(std::string("Reading the connect queue failed: ") + strerror(errno));
        }
        if (fds[1].revents != 0 && !streamQueue_.Receive([this](QueuedPacket&& p) { OnStreamPacket(std::move(p)); })) {
            Log(std::string("Reading the stream queue failed: ") + strerror(errno));
        }
        if (fds[3].revents != 0) {
            conntrack_.ReadEnds([this](const TcpFourTuple& t, uint32_t mark) { OnConnectionEnd(t, mark); });
        }
        // Pruned by time, not on idle ticks: a busy machine never idles.
        if (const uint64_t now = Now(); now - lastPrune > kPruneInterval) {
            PruneAnswered();
            lastPrune = now;
        }
    }
}

void NetfilterPlatform::MonitorLoop() {
    std::unique_lock lock(monitorMutex_);
    while (running_) {
        monitorWake_.wait_for(lock, options_.monitorInterval);
        if (!running_) break;
        std::string error;
        if (!rules_.Verify(&error)) {
            Log(error.empty() ? "Rules of the engine were missing and have been restored"
                              : "Restoring the engine's rules failed: " + error);
        }
    }
}

void NetfilterPlatform::PruneAnswered() {
    const uint64_t now = Now();
    std::lock_guard lock(mutex_);
    std::erase_if(answered_, [now](const auto& entry) { return now - entry.second.time > kAnsweredKeep; });
}

void NetfilterPlatform::AcceptAll(const std::vector<uint32_t>& packetIds, uint32_t mark) {
    for (uint32_t id : packetIds) connectQueue_.SetVerdict(id, Verdict::kAccept, mark);
}

ClassifyInfo NetfilterPlatform::Describe(const TcpFourTuple& tuple) {
    ClassifyInfo info;
    info.layerId = tuple.ipv6 ? kLayerConnectRedirectV6 : kLayerConnectRedirectV4;
    info.protocol = kProtocolTcp;
    info.local = Slot(tuple.ipv6, tuple.local, tuple.localPort);
    info.remote = Slot(tuple.ipv6, tuple.remote, tuple.remotePort);
    // An owner that cannot be found is process 0 with no path.
    uint32_t pid = 0;
    if (auto owner = sockDiag_.Lookup(tuple)) {
        pid = processes_.ProcessOfSocket(owner->inode);
        info.userSid = UnixUserSid(owner->uid);
    }
    info.processId = pid;
    info.applicationId = Utf16(processes_.ExecutablePath(pid));
    return info;
}

void NetfilterPlatform::OnConnectPacket(QueuedPacket&& packet) {
    const auto parsed = TcpPacket::Parse(packet.payload.data(), packet.payload.size());
    if (!parsed || !parsed->Syn()) {
        connectQueue_.SetVerdict(packet.id, Verdict::kAccept);
        return;
    }
    const TcpFourTuple tuple = TupleOf(*parsed, true);
    {
        std::lock_guard lock(mutex_);
        // A retransmitted SYN joins its held connect, or gets the answer it already had.
        if (auto it = pendingByTuple_.find(tuple); it != pendingByTuple_.end()) {
            PendingConnect& p = pending_[it->second];
            if (p.isn == parsed->sequence) {
                p.packetIds.push_back(packet.id);
                return;
            }
        }
        if (auto it = answered_.find(tuple); it != answered_.end() && it->second.isn == parsed->sequence) {
            connectQueue_.SetVerdict(packet.id, Verdict::kAccept, it->second.mark);
            return;
        }
    }

    PendingConnect pending;
    pending.tuple = tuple;
    pending.isn = parsed->sequence;
    pending.packetIds.push_back(packet.id);
    pending.info = Describe(tuple);
    {
        std::lock_guard lock(mutex_);
        pending.handle = ++nextId_;
        pending.info.connectHandle = pending.handle;
        pending.info.endpointHandle = pending.handle;
        pendingByTuple_[tuple] = pending.handle;
        pending_[pending.handle] = pending;
    }
    if (callouts_->ClassifyConnect(pending.info) == ConnectAction::kPermit) {
        CompleteConnect(pending.handle, ConnectCompletion{});
    }
}

void NetfilterPlatform::CompleteConnect(uint64_t connectHandle, const ConnectCompletion& completion) {
    PendingConnect pending;
    {
        std::lock_guard lock(mutex_);
        auto it = pending_.find(connectHandle);
        if (it == pending_.end()) return;
        pending = std::move(it->second);
        pending_.erase(it);
        pendingByTuple_.erase(pending.tuple);
    }
    uint32_t mark = 0;
    bool redirected = false;
    if (completion.redirect) {
        const SocketAddressSlot& to = completion.newRemote;
        if (to.IsIpv6() == pending.tuple.ipv6 && (to.IsIpv4() || to.IsIpv6())) {
            RedirectTarget target;
            target.ipv6 = to.IsIpv6();
            std::memcpy(target.address.data(), to.AddressBytes(), to.AddressLength());
            target.port = to.Port();
            std::string error;
            mark = rules_.RedirectMark(target, &error);
            redirected = mark != 0;
            if (!redirected) Log("A redirect could not be set up: " + error);
        } else {
            Log("A redirect to another address family was ignored");
        }
    }
    // Done on the caller's thread: the connect goes on without waiting for ours.
    FinishConnect(std::move(pending), mark, redirected);
}

void NetfilterPlatform::FinishConnect(PendingConnect pending, uint32_t mark, bool redirected) {
    if (!redirected) {
        // The engine decides at flow establishment whether it inspects the
        // connection; the answer is known now, so the SYN carries the
        // inspection mark from the start.
        Flow flow;
        flow.id = pending.handle;
        flow.tuple = pending.tuple;
        flow.info = pending.info;
        flow.info.layerId = pending.tuple.ipv6 ? kLayerFlowEstablishedV6 : kLayerFlowEstablishedV4;
        flow.info.flowHandle = flow.id;
        flow.info.endpointHandle = pending.handle;
        const ClassifyInfo info = flow.info;
        {
            std::lock_guard lock(mutex_);
            flows_[flow.id] = std::move(flow);
        }
        callouts_->ClassifyFlowEstablished(info);
        std::lock_guard lock(mutex_);
        auto it = flows_.find(pending.handle);
        if (it != flows_.end() && it->second.context) {
            mark = kMarkInspect;
            flowsByTuple_[pending.tuple] = pending.handle;
        } else if (it != flows_.end()) {
            flows_.erase(it);
        }
    }
    {
        std::lock_guard lock(mutex_);
        answered_[pending.tuple] = AnsweredConnect{pending.isn, mark, Now()};
    }
    AcceptAll(pending.packetIds, mark);
}

bool NetfilterPlatform::AssociateFlowContext(uint64_t flowId, uint16_t layerId, uint32_t calloutId,
                                             std::shared_ptr<FlowContext> context) {
    std::lock_guard lock(mutex_);
    auto it = flows_.find(flowId);
    if (it == flows_.end() || it->second.context) return false;
    it->second.layerId = layerId;
    it->second.calloutId = calloutId;
    it->second.context = std::move(context);
    return true;
}

bool NetfilterPlatform::RemoveFlowContext(uint64_t flowId, uint16_t, uint32_t) {
    {
        std::lock_guard lock(mutex_);
        auto it = flows_.find(flowId);
        if (it == flows_.end() || !it->second.context) return false;
    }
    // The engine may hold its own locks here; it hears of the end from the loop.
    Post([this, flowId] { EndFlow(flowId, false, kConnMarkReleased); });
    return true;
}

void NetfilterPlatform::EndFlow(uint64_t flowId, bool drop, uint32_t connectionMark) {
    Flow flow;
    {
        std::lock_guard lock(mutex_);
        auto it = flows_.find(flowId);
        if (it == flows_.end()) return;
        flow = std::move(it->second);
        flows_.erase(it);
        flowsByTuple_.erase(flow.tuple);
    }
    if (connectionMark != 0) conntrack_.SetMark(flow.tuple, connectionMark);
    for (HeldStream* s : {&flow.send, &flow.receive}) {
        for (const HeldPacket& h : s->TakeAll()) {
            streamQueue_.SetVerdict(h.packetId, drop ? Verdict::kDrop : Verdict::kAccept);
        }
    }
    if (flow.context) callouts_->FlowDeleted(flow.layerId, flow.calloutId, flow.context);
}

void NetfilterPlatform::OnConnectionEnd(const TcpFourTuple& tuple, uint32_t mark) {
    if (mark != kConnMarkInspect && mark != kConnMarkBlocked) return;
    uint64_t id = 0;
    {
        std::lock_guard lock(mutex_);
        auto it = flowsByTuple_.find(tuple);
        if (it == flowsByTuple_.end()) return;
        id = it->second;
    }
    EndFlow(id, false, 0);
}

void NetfilterPlatform::OnStreamPacket(QueuedPacket&& packet) {
    const auto parsed = TcpPacket::Parse(packet.payload.data(), packet.payload.size());
    const bool outgoing = packet.hook == NF_INET_LOCAL_OUT;
    if (!parsed || (parsed->payloadLength == 0 && !parsed->Fin() && !parsed->Rst())) {
        // Handshake and bare acknowledgements carry nothing to inspect.
        streamQueue_.SetVerdict(packet.id, Verdict::kAccept);
        return;
    }
    const uint32_t packetId = packet.id;
    StreamWork work;
    StreamStep step;
    {
        std::lock_guard lock(mutex_);
        step = TakeStreamPacket(std::move(packet), *parsed, outgoing, work);
    }
    if (step != StreamStep::kClassify) {
        streamQueue_.SetVerdict(packetId, step == StreamStep::kDrop ? Verdict::kDrop : Verdict::kAccept);
        return;
    }
    const StreamAction action = callouts_->ClassifyStream(work.info, work.segment, work.context);
    FinishStreamPacket(work, packetId, outgoing, parsed->Rst(), action);
}

// Called with mutex_ held.
NetfilterPlatform::StreamStep NetfilterPlatform::TakeStreamPacket(QueuedPacket&& packet, const TcpPacket& parsed,
                                                                  bool outgoing, StreamWork& work) {
    auto byTuple = flowsByTuple_.find(TupleOf(parsed, outgoing));
    if (byTuple == flowsByTuple_.end()) return StreamStep::kAccept;
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

void NetfilterPlatform::FinishStreamPacket(const StreamWork& work, uint32_t packetId, bool outgoing, bool reset,
                                           StreamAction action) {
    bool ended = reset;
    {
        std::lock_guard lock(mutex_);
        auto it = flows_.find(work.flowId);
        // A flow that ended meanwhile has already let its held packets go.
        if (it == flows_.end()) return;
        Flow& flow = it->second;
        ended = ended || (flow.finSent && flow.finReceived);
        if (action != StreamAction::kBlock && (outgoing ? flow.send : flow.receive).TakePacket(packetId)) {
            streamQueue_.SetVerdict(packetId, Verdict::kAccept);
        }
    }
    if (action == StreamAction::kAllowConnection) {
        EndFlow(work.flowId, false, ended ? 0 : kConnMarkReleased);
    } else if (ended) {
        EndFlow(work.flowId, false, 0);
    }
}

uint32_t NetfilterPlatform::InjectStream(const StreamInjection& injection) {
    const bool outgoing = (injection.streamFlags & kSendFlags) != 0;
    if (injection.data.empty() && (injection.streamFlags & kDisconnectFlags) == 0) return kStatusInvalidParameter;
    std::vector<HeldPacket> release;
    std::vector<uint8_t> replacement;
    std::vector<HeldPacket> discard;
    std::vector<uint8_t> answer;
    TcpPacket answerTo;
    {
        std::lock_guard lock(mutex_);
        auto it = flows_.find(injection.flowId);
        if (it == flows_.end() || !it->second.context) return kStatusNotFound;
        Flow& flow = it->second;
        if (!outgoing && injection.data.empty() && (injection.streamFlags & NFE_STREAM_FLAG_RECEIVE_DISCONNECT)) {
            return CloseTowardsApplication(flow);
        }
        HeldStream& stream = outgoing ? flow.send : flow.receive;
        if (auto matching = stream.TakeMatching(injection.data)) {
            release = std::move(*matching);
        } else if (!stream.Empty() && !injection.data.empty()) {
            // Other bytes than the captured ones (a refusal): they take the
            // place of the first held packet, and the rest of what is held
            // in that direction never passes.
            discard = stream.TakeAll();
            const HeldPacket& first = discard.front();
            const auto parsed = TcpPacket::Parse(first.packet.data(), first.packet.size());
            if (!parsed) return kStatusUnsuccessful;
            replacement = ReplaceTcpPayload(first.packet.data(), *parsed, injection.data.data(), injection.data.size());
        } else if (!outgoing && !injection.data.empty() && !flow.send.Empty()) {
            // A refusal for the application with nothing held towards it (the
            // judged hello is still held): it goes to the application as the
            // peer's answer to that hello.
            const HeldPacket& first = flow.send.Front();
            const auto parsed = TcpPacket::Parse(first.packet.data(), first.packet.size());
            if (!parsed) return kStatusUnsuccessful;
            answer = AnswerSegment(*parsed, injection.data.data(), injection.data.size());
            answerTo = Reversed(*parsed);
        } else if (!outgoing && !injection.data.empty()) {
            Log("A refusal could not be delivered to the application: nothing was held on its connection");
            return kStatusSuccess;
        } else {
            // Nothing held to carry the bytes out.
            return kStatusUnsuccessful;
        }
    }
    if (!answer.empty()) {
        const int rc = SendSegment(answerTo, answer);
        if (rc != 0) Log(std::string("A refusal could not be delivered to the application: ") + strerror(rc));
        return kStatusSuccess;
    }
    for (const HeldPacket& h : release) streamQueue_.SetVerdict(h.packetId, Verdict::kAccept);
    if (!discard.empty()) {
        streamQueue_.SetVerdict(discard.front().packetId, Verdict::kAccept, 0, replacement);
        for (std::size_t i = 1; i < discard.size(); ++i) streamQueue_.SetVerdict(discard[i].packetId, Verdict::kDrop);
    }
    return kStatusSuccess;
}

// Called with mutex_ held.
uint32_t NetfilterPlatform::CloseTowardsApplication(Flow& flow) {
    // Later packets of the connection are dropped by the rules, what is held
    // is dropped now, and the application's socket is aborted. The rules drop
    // the reset the aborted socket sends, so the remote end gets one of ours.
    conntrack_.SetMark(flow.tuple, kConnMarkBlocked);
    const std::optional<TcpPacket> reset = ResetHeaderFor(flow.send, flow.receive);
    for (HeldStream* s : {&flow.send, &flow.receive}) {
        for (const HeldPacket& h : s->TakeAll()) streamQueue_.SetVerdict(h.packetId, Verdict::kDrop);
    }
    int rc = sockDiag_.Destroy(flow.tuple);
    if (rc != 0 && rc != ENOENT) Log(std::string("Aborting a local socket failed: ") + strerror(rc));
    if (reset && (rc = SendSegment(*reset, BuildSegment(*reset, kTcpRst | kTcpAck))) != 0) {
        Log(std::string("Resetting the remote end of a closed connection failed: ") + strerror(rc));
    }
    const uint64_t id = flow.id;
    Post([this, id] { EndFlow(id, true, 0); });
    return kStatusSuccess;
}

}  // namespace hbt
