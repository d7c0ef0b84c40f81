#include "engine_client/engine_event_loop.h"

#include <algorithm>
#include <optional>
#include <thread>

#include "engine_protocol/byte_order.h"
#include "engine_protocol/nfe_protocol.h"
#include "log/log.h"
#include "platform/socket_address.h"
#include "rules/preferences.h"
#include "text/application_name.h"
#include "text/text_conversion.h"
#include "tls_inspect/intercepted_traffic_processor.h"

namespace hbt {

namespace {

using namespace std::chrono_literals;

constexpr uint32_t kWin32ServerDisabled = 1341;
constexpr uint16_t kTlsPort = 443;
constexpr std::chrono::seconds kLongestReadBackoff = 8s;
constexpr std::chrono::milliseconds kFirstReopenWait = 500ms;
constexpr std::chrono::milliseconds kLongestReopenWait = 5s;
constexpr uint32_t kMappedStreamData = 3;
// Room for the events one read takes; a larger event grows it.
constexpr std::size_t kEventBatchBytes = 64 * 1024;
constexpr uint32_t kSendClosing = NFE_STREAM_FLAG_SEND_DISCONNECT | NFE_STREAM_FLAG_SEND_ABORT;
constexpr uint32_t kReceiveClosing = NFE_STREAM_FLAG_RECEIVE_DISCONNECT | NFE_STREAM_FLAG_RECEIVE_ABORT;

uint32_t MapEventType(uint32_t type) {
    switch (type) {
        case NFE_EVENT_MESSAGE:
        case NFE_EVENT_CONNECT_REDIRECT:
        case NFE_EVENT_FLOW_ESTABLISHED:
        case NFE_EVENT_FLOW_DELETED: return type;
        case NFE_EVENT_STREAM_DATA: return kMappedStreamData;
        default: return 0;
    }
}

bool IsLoopbackDestination(const SocketAddressSlot& destination) {
    if (destination.IsIpv4()) return destination.Ipv4Address() == std::array<uint8_t, 4>{127, 0, 0, 1};
    if (destination.IsIpv6()) {
        std::array<uint8_t, 16> loopback{};
        loopback[15] = 1;
        return destination.Ipv6Address() == loopback;
    }
    return false;
}

std::wstring ApplicationPathOf(const NfeEvent& event) {
    return event.applicationPathLength == 0 ? std::wstring() : Utf16ToWide(event.ApplicationPath());
}

bool PortInRanges(uint16_t port, const std::vector<uint32_t>& ranges) {
    for (uint32_t range : ranges) {
        if (PortRangeFirst(range) <= port && port <= PortRangeLast(range)) return true;
    }
    return false;
}

std::string EndpointText(const SocketAddressSlot& address, bool bracketed) {
    const std::string ip = IpAddressText(address);
    return (bracketed ? "[" + ip + "]" : ip) + ":" + std::to_string(address.Port());
}

}  // namespace

std::string EventDescription(const NfeEvent& event) { return EventDescription(event.source, event.destination); }

std::string EventDescription(const SocketAddressSlot& source, const SocketAddressSlot& destination) {
    const bool ipv6 = source.IsIpv6();
    return EndpointText(source, ipv6) + "->" + EndpointText(destination, ipv6);
}

ConnectDecision DecideConnect(EngineEventHost& host, const SocketAddressSlot& destination,
                              const std::wstring& applicationPath) {
    if (IsLoopbackDestination(destination)) return ConnectDecision::kLeaveAlone;
    const std::shared_ptr<const Preferences> snapshot = host.PreferencesSnapshot();
    const Preferences& preferences = *snapshot;
    if (!preferences.enabled) return ConnectDecision::kLeaveAlone;
    if (preferences.IsAddressInExcludedRanges(destination)) return ConnectDecision::kLeaveAlone;
    if (host.IsTemporarilyExcluded(destination)) return ConnectDecision::kLeaveAlone;
    if (preferences.IsApplicationListed(ApplicationFileNameView(applicationPath))) {
        return ConnectDecision::kLeaveAlone;
    }
    if (PortInRanges(destination.Port(), preferences.httpPorts)) {
        // Redirected into a full proxy, the connection would hang: it goes direct instead.
        return host.AdmitToProxy() ? ConnectDecision::kRedirect : ConnectDecision::kLeaveAlone;
    }
    if (destination.Port() == kTlsPort || preferences.monitorSslOnAllPorts) return ConnectDecision::kInspect;
    return ConnectDecision::kLeaveAlone;
}

NfePortRules ConnectPortsToHold(const Preferences& preferences) {
    // Not narrowed while OFF: the core switches itself ON and OFF (start-up,
    // a lost engine) without configuring the engine, and ON must act at once.
    if (preferences.monitorSslOnAllPorts) return NfePortRules::All();
    std::vector<NfePortRange> ranges{{kTlsPort, kTlsPort}};
    for (uint32_t range : preferences.httpPorts) ranges.push_back({PortRangeFirst(range), PortRangeLast(range)});
    return NfePortRules::Of(std::move(ranges));
}

CEngineEventLoop::CEngineEventLoop(EngineEventHost& host, NfeDeviceClient& client, Sleeper sleeper, Clock clock)
    : host_(host),
      client_(client),
      sleeper_(std::move(sleeper)),
      clock_(clock ? std::move(clock) : Clock(CRefusalFolding::Clock::now)) {}

CEngineEventLoop::~CEngineEventLoop() { refusals_.WriteAll(); }

void CEngineEventLoop::Run() {
    // Stopped and joined when Run returns; it writes what is left then.
    std::jthread refusalWriter([this](std::stop_token stop) { refusals_.WriteUntilStopped(stop); });
    eventBuffer_.assign(kEventBatchBytes, 0);
    batchOffset_ = batchEnd_ = 0;
    std::chrono::seconds backoff{0};
    for (;;) {
        StepResult result = Step();
        if (result == StepResult::kStop) break;
        if (result == StepResult::kEngineGone) {
            if (!TakeUpRestartedEngine()) break;
            backoff = 0s;
        } else if (result == StepResult::kHandled) {
            backoff = 0s;
        } else if (result == StepResult::kReadFailed) {
            backoff = backoff == 0s ? 1s : std::min(backoff * 2, kLongestReadBackoff);
            sleeper_(backoff);
        }
    }
    eventBuffer_.clear();
    eventBuffer_.shrink_to_fit();
}

CEngineEventLoop::StepResult CEngineEventLoop::Step() {
    if (eventBuffer_.size() < kEventBatchBytes) eventBuffer_.resize(kEventBatchBytes);
    StepResult result = NextEvent();
    if (result == StepResult::kHandled) result = Dispatch(event_);
    if (result == StepResult::kStop) {
        // The engine lets the connects still held go when it stops.
        for (const HeldAnswer& held : heldAnswers_) {
            if (held.record) host_.WithdrawRedirectRecord(*held.record);
        }
        heldAnswers_.clear();
    } else if (BatchUsedUp()) {
        // The answers of a batch go out together, before the next read waits.
        const StepResult sent = SendAnswers();
        if (result == StepResult::kHandled) result = sent;
    }
    return result;
}

CEngineEventLoop::StepResult CEngineEventLoop::NextEvent() {
    for (;;) {
        if (!host_.IsRunning()) return StepResult::kStop;
        if (BatchUsedUp()) {
            uint32_t bytes = 0;
            NfeDriverError error = client_.GetEvents(eventBuffer_, bytes);
            if (!host_.IsRunning()) return StepResult::kStop;
            if (error.kind == NfeErrorKind::kNoEvent) continue;
            if (!error.Succeeded()) {
                CLog(kLogError) << "GetEvent failed with error " << error.message;
                // Only a device closed under the waiting read fails the wait; the
                // core closes it only after it stopped running.
                return error.kind == NfeErrorKind::kWaitFailed ? StepResult::kEngineGone : StepResult::kReadFailed;
            }
            batchOffset_ = 0;
            batchEnd_ = bytes;
        }
        host_.Count(EngineCounter::kEngineEventsRead);
        if (!host_.IsRunning()) return StepResult::kStop;
        // The client has checked that every event of the batch is whole.
        const uint8_t* at = eventBuffer_.data() + batchOffset_;
        const std::size_t size = kNfeEventHeaderSize + GetU32(at + nfe_event_offset::kDataLength);
        batchOffset_ += size;
        return NfeEvent::DecodeInto(at, size, event_) ? StepResult::kHandled : StepResult::kHandledWithError;
    }
}

void CEngineEventLoop::ForgetEngineState() {
    heldAnswers_.clear();
    host_.ClearRedirectRecords();
    flows_.clear();
}

bool CEngineEventLoop::TakeUpRestartedEngine() {
    CLog(kLogError) << "Network Engine is gone. Protection is off until it is back.";
    client_.CloseDevice();
    ForgetEngineState();
    redirectFailures_ = 0;
    host_.EngineGone();
    // A service manager starts the engine again within seconds; a quiet
    // attempt every few seconds costs nothing meanwhile.
    std::chrono::milliseconds wait = kFirstReopenWait;
    for (;;) {
        sleeper_(wait);
        if (!host_.IsRunning()) return false;
        if (host_.ReopenEngine()) break;
        wait = std::min(wait * 2, kLongestReopenWait);
    }
    CLog(kLogAlways) << "Network Engine is back. Protection restored.";
    return true;
}

CEngineEventLoop::StepResult CEngineEventLoop::Dispatch(const NfeEvent& event) {
    const uint32_t type = MapEventType(event.type);
    host_.Count(EngineCounter::kEngineEventsHandled);
    refusals_.WriteDue(clock_());
    if (type == NFE_EVENT_CONNECT_REDIRECT) return OnConnect(event);
    const std::string description = EventDescription(event);
    switch (type) {
        case NFE_EVENT_MESSAGE: return OnMessage(event);
        case NFE_EVENT_FLOW_ESTABLISHED: return OnFlowEstablished(event, description);
        case kMappedStreamData: return OnStreamData(event, description);
        case NFE_EVENT_FLOW_DELETED: return OnFlowDeleted(event);
        default:
            CLog(kLogError) << "NEGetEvent return unexpected event type: " << event.type;
            return StepResult::kHandled;
    }
}

CEngineEventLoop::StepResult CEngineEventLoop::OnMessage(const NfeEvent& event) {
    const uint64_t status = event.messageStatus;
    const uint64_t parameter = event.messageParameter;
    const std::string text = event.MessageText();
    if (event.messageSeverity == NFE_SEVERITY_INFORMATION) {
        if (parameter == 1) {
            CLog(kLogVerbose) << "Network Engine started.";
        } else if (parameter == 2 && status != 1) {
            CLog(kLogNormal) << "Network Engine stopped.";
        } else if (parameter == 2) {
            CLog(kLogNormal) << "Network Engine was stopped automatically. Restarting.";
            ForgetEngineState();
            NfeDriverError error = client_.Start();
            if (!error.Succeeded()) CLog(kLogError) << "Start failed with error " << error.message;
        }
        return StepResult::kHandled;
    }
    if (event.messageSeverity == NFE_SEVERITY_ERROR) {
        if (host_.DisplayOff() && text.find("Abandoned redirection request detected") != std::string::npos) {
            return StepResult::kHandled;
        }
        CLog(kLogError) << "Event Message: " << text << ". Error=" << status << ", Param=" << parameter;
    }
    return StepResult::kHandled;
}

CEngineEventLoop::StepResult CEngineEventLoop::OnConnect(const NfeEvent& event) {
    host_.Count(EngineCounter::kConnectRequests);
    HeldAnswer held;
    held.applicationPath = ConnectingApplication(event);
    held.decision = DecideConnect(host_, event.destination, *held.applicationPath);
    uint32_t flags = NFE_ANSWER_PERMIT;
    if (held.decision == ConnectDecision::kRedirect) {
        held.record = host_.AppendRedirectRecord(event.source, event.destination, event.processId,
                                                 *held.applicationPath);
        flags = NFE_ANSWER_REDIRECT;
    } else if (held.decision == ConnectDecision::kInspect) {
        flags = NFE_ANSWER_PERMIT | NFE_ANSWER_INSPECT;
    }
    held.answer = {event.redirectRequestId, host_.ProxyAddress(event.source.Family() != kFamilyIpv4), flags};
    held.processId = event.processId;
    held.source = event.source;
    held.destination = event.destination;
    held.loopback = IsLoopbackDestination(event.destination);
    heldAnswers_.push_back(std::move(held));
    return StepResult::kHandled;
}

std::shared_ptr<const std::wstring> CEngineEventLoop::ConnectingApplication(const NfeEvent& event) {
    const std::size_t length = std::min<std::size_t>(event.applicationPathLength, event.data.size());
    const auto path = event.data.begin(), pathEnd = event.data.begin() + static_cast<std::ptrdiff_t>(length);
    if (!lastApplication_ || !std::equal(path, pathEnd, lastApplicationBytes_.begin(), lastApplicationBytes_.end())) {
        lastApplicationBytes_.assign(path, pathEnd);
        lastApplication_ = std::make_shared<const std::wstring>(ApplicationPathOf(event));
    }
    return lastApplication_;
}

CEngineEventLoop::StepResult CEngineEventLoop::SendAnswers() {
    if (heldAnswers_.empty()) return StepResult::kHandled;
    answers_.clear();
    for (const HeldAnswer& held : heldAnswers_) answers_.push_back(held.answer);
    client_.ProcessRedirects(answers_, answerResults_);
    StepResult result = StepResult::kHandled;
    for (std::size_t i = 0; i < heldAnswers_.size(); ++i) {
        ReportAnswer(heldAnswers_[i], answerResults_[i]);
        if (!answerResults_[i].Succeeded()) result = StepResult::kHandledWithError;
    }
    heldAnswers_.clear();
    return result;
}

void CEngineEventLoop::ReportAnswer(const HeldAnswer& held, const NfeDriverError& error) {
    const wchar_t* application = held.applicationPath->c_str();
    if (!error.Succeeded()) {
        if (held.record) host_.WithdrawRedirectRecord(*held.record);
        // A connect answered just as the engine stopped is expected once; repeated, it is worth a line.
        const bool quiet = error.code == kWin32ServerDisabled && ++redirectFailures_ < 2;
        if (!quiet) CLog(kLogError, held.processId, application) << "ProcessRedirect failed with error " << error.message;
        return;
    }
    redirectFailures_ = 0;
    if (held.decision == ConnectDecision::kRedirect) {
        CLog line(kLogVerbose, held.processId, application);
        if (line.Enabled()) line << EventDescription(held.source, held.destination) << " " << "(process)";
        host_.Count(EngineCounter::kConnectionsToProxy);
    } else if (held.decision == ConnectDecision::kLeaveAlone && !held.loopback) {
        CLog line(kLogVerbose);
        if (line.Enabled()) line << EventDescription(held.source, held.destination) << " " << "(bypass)";
    }
}

CEngineEventLoop::StepResult CEngineEventLoop::OnFlowEstablished(const NfeEvent& event,
                                                                 const std::string& description) {
    host_.Count(EngineCounter::kFlowsEstablished);
    std::wstring applicationPath = ApplicationPathOf(event);
    host_.Count(EngineCounter::kFlowsInspected);
    auto& processor = flows_[event.flowId];
    if (!processor) processor = std::make_shared<CInterceptedTrafficProcessor>(event.flowId);
    processor->SetFlowInfo(event.destination, description, event.processId, std::move(applicationPath));
    return StepResult::kHandled;
}

CEngineEventLoop::StepResult CEngineEventLoop::OnStreamData(const NfeEvent& event, const std::string& description) {
    host_.Count(EngineCounter::kStreamDataEvents);
    auto found = flows_.find(event.flowId);
    if (found == flows_.end() || !found->second) {
        if (found != flows_.end()) flows_.erase(found);
        CLog(kLogError) << "FlowId " << event.flowId << " not found, connection closed (" << description << ")";
        return client_.CloseFlow(event, description, std::wstring()) ? StepResult::kHandled : StepResult::kHandledWithError;
    }
    std::shared_ptr<CInterceptedTrafficProcessor> processor = found->second;
    const uint32_t flags = event.streamFlags;
    if (processor->State() == FlowState::kDetached) {
        CLog(kLogError, event.processId, processor->ApplicationPath().c_str())
            << description << " data transferred over " << "detached" << " socket (flowId = " << event.flowId
            << ", flags = " << flags << ", dataLen = " << event.data.size() << ", addr = " << description << ")";
        return StepResult::kHandledWithError;
    }
    if (processor->State() == FlowState::kClosed) return StepResult::kHandled;
    if (flags & (kSendClosing | kReceiveClosing)) return OnStreamClosing(event, *processor, description);

    const std::shared_ptr<const Preferences> preferences = host_.PreferencesSnapshot();
    FlowVerdict verdict;
    if (flags & NFE_STREAM_FLAG_SEND) {
        processor->OutgoingData(event.data, *preferences, verdict);
    } else if (flags & NFE_STREAM_FLAG_RECEIVE) {
        processor->IncomingData(event.data, *preferences, verdict);
    }
    if (processor->State() == FlowState::kDetached && !verdict.bypass) {
        CLog(kLogError) << description << " detach info mismatch " << " (flowId = " << event.flowId
                        << ", flags = " << flags << ", dataLen = " << event.data.size() << ")";
        verdict.bypass = true;
    }
    const std::wstring& path = processor->ApplicationPath();
    bool ok = true;
    if (!verdict.sendOut.empty()) ok = client_.InjectOut(event, description, path, verdict.sendOut);
    if (!verdict.deliverIn.empty()) ok = ok && client_.InjectIn(event, description, path, verdict.deliverIn);
    if (verdict.block) {
        // A client's quick retries count as the one refusal they repeat.
        const std::string destination = EndpointText(event.destination, event.destination.IsIpv6());
        if (!verdict.refusal || refusals_.Add(*verdict.refusal, destination, clock_())) {
            host_.Count(EngineCounter::kTlsFlowsBlocked);
        }
        ok = ok && client_.CloseFlow(event, description, path);
    }
    if (verdict.bypass) {
        host_.Count(EngineCounter::kTlsFlowsReleased);
        ok = ok && client_.DetachFlow(event, description, path);
    }
    if (!ok) {
        CLog(kLogError, event.processId, path.c_str()) << "Could not process event for flowId " << event.flowId;
        return StepResult::kHandledWithError;
    }
    return StepResult::kHandled;
}

CEngineEventLoop::StepResult CEngineEventLoop::OnStreamClosing(const NfeEvent& event,
                                                               CInterceptedTrafficProcessor& processor,
                                                               const std::string& description) {
    CLog(kLogVerbose) << description << " closed by stream";
    FlowVerdict held;
    processor.CloseAndTakeHeld(held);
    const std::wstring& path = processor.ApplicationPath();
    const uint32_t flags = event.streamFlags;
    if (!held.deliverIn.empty() && !(flags & kReceiveClosing)) client_.InjectIn(event, description, path, held.deliverIn);
    if (!held.sendOut.empty() && !(flags & kSendClosing)) client_.InjectOut(event, description, path, held.sendOut);
    if (!event.data.empty() && !client_.Reinject(event, description, path, flags, event.data)) return StepResult::kHandledWithError;
    return StepResult::kHandled;
}

CEngineEventLoop::StepResult CEngineEventLoop::OnFlowDeleted(const NfeEvent& event) {
    auto found = flows_.find(event.flowId);
    if (found == flows_.end()) return StepResult::kHandled;
    if (found->second) found->second->Finish();
    flows_.erase(found);
    return StepResult::kHandled;
}

}  // namespace hbt
