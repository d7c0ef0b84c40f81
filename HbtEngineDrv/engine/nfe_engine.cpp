#include "HbtEngineDrv/engine/nfe_engine.h"

#include "engine_protocol/nfe_protocol.h"

namespace hbt {

namespace {

constexpr uint64_t kUnitsPerSecond = 10000000;

bool IsAleLayer(uint16_t layerId) {
    return layerId == kLayerFlowEstablishedV4 || layerId == kLayerFlowEstablishedV6 ||
           layerId == kLayerConnectRedirectV4 || layerId == kLayerConnectRedirectV6;
}

bool IsStreamLayer(uint16_t layerId) { return layerId == kLayerStreamV4 || layerId == kLayerStreamV6; }

// Copies the owner's identifier when it fits the event's 128-byte slot.
void CopyUserSid(const std::vector<uint8_t>& sid, NfeEvent& event) {
    if (sid.size() < 8) return;
    const std::size_t subAuthorities = sid[1];
    if (12 + 4 * subAuthorities > kNfeSidSize) return;
    const std::size_t length = 8 + 4 * subAuthorities;
    if (sid.size() < length) return;
    std::copy(sid.begin(), sid.begin() + static_cast<std::ptrdiff_t>(length), event.userSid.begin());
}

}  // namespace

NfeEngine::NfeEngine(FilterPlatform& platform)
    : platform_(platform), redirector_(*this, platform), flows_(*this, platform) {
    auto initial = std::make_shared<NfeConfig>();
    initial->size = 0;  // no configuration loaded yet
    config_ = std::move(initial);
}

NfeEngine::~NfeEngine() = default;

std::shared_ptr<const NfeConfig> NfeEngine::Config() const {
    std::lock_guard lock(configMutex_);
    return config_;
}

bool NfeEngine::IsOwnProcess(const ClassifyInfo& info, const NfeConfig& config) const {
    return config.interceptOwnProcess == 0 && info.processId == config.processId;
}

bool NfeEngine::PassesGuards(const ClassifyInfo& info) {
    if (!IsActive()) return false;
    if (const std::size_t queued = queue_.Count(); queued >= kMaxQueuedEvents) {
        Message("391:NfeEventList is too big", kStatusUnsuccessful, queued);
        return false;
    }
    if (const std::size_t flows = flows_.Count(); flows >= kMaxFlowContexts) {
        Message("397:g_NfeFlowListSize is too big", kStatusUnsuccessful, flows);
        return false;
    }
    const auto config = Config();
    if (config->maxEventAgeSeconds != 0) {
        std::optional<uint64_t> head = queue_.HeadQueueTime();
        if (head && Now() - *head > config->maxEventAgeSeconds * kUnitsPerSecond) {
            // The program stopped reading: let the machine's connections go.
            Stop(true);
            return false;
        }
    }
    if (IsAleLayer(info.layerId)) {
        if (!info.processId) {
            Message("36:Process id missing for layer", kStatusUnsuccessful, info.layerId);
            return false;
        }
        if (IsOwnProcess(info, *config)) return false;
    }
    return true;
}

ConnectAction NfeEngine::ClassifyConnect(const ClassifyInfo& info) {
    if (!PassesGuards(info)) return ConnectAction::kPermit;
    if (info.protocol != kProtocolTcp) {
        Message("48:Connect redirect layer non TCP protocol", kStatusUnsuccessful, info.protocol);
        return ConnectAction::kPermit;
    }
    return redirector_.Classify(info);
}

void NfeEngine::ClassifyFlowEstablished(const ClassifyInfo& info) {
    if (!PassesGuards(info)) return;
    if (!info.flowHandle) {
        Message("193:CalloutFlow no flow handle", kStatusUnsuccessful, 0);
        return;
    }
    if (!info.endpointHandle) {
        Message("199:CalloutFlow no transport endpoint handle", kStatusUnsuccessful, 0);
        return;
    }
    if (info.protocol != kProtocolTcp || !redirector_.TakeInspected(*info.endpointHandle)) return;
    flows_.FlowEstablished(info);
}

StreamAction NfeEngine::ClassifyStream(const ClassifyInfo& info, const StreamSegment& segment,
                                       const std::shared_ptr<FlowContext>& context) {
    if (!PassesGuards(info)) return StreamAction::kNone;
    if (!context) {
        Message("68:flowContext=0", kStatusUnsuccessful, info.layerId);
        return StreamAction::kNone;
    }
    return flows_.StreamClassify(info, segment, context);
}

void NfeEngine::FlowDeleted(uint16_t layerId, uint32_t calloutId, const std::shared_ptr<FlowContext>& context) {
    flows_.FlowDeleted(layerId, calloutId, context);
}

std::optional<NfeEvent> NfeEngine::CreateEvent(uint32_t type, const ClassifyInfo& info, const FlowContext* flow,
                                               const std::vector<uint8_t>& extraData) {
    const bool withPath = type == NFE_EVENT_CONNECT_REDIRECT || type == NFE_EVENT_FLOW_ESTABLISHED;
    if (!withPath && type != NFE_EVENT_STREAM_DATA) {
        Message("126:Unknown event type", kStatusUnsuccessful, type);
        return std::nullopt;
    }
    const std::size_t total = (withPath ? NfeEvent::ApplicationPathSize(info.applicationId) : 0) + extraData.size();
    if (total > kNfeEventMaxDataLength) {
        Message("134:Size is too big", kStatusUnsuccessful, total);
        return std::nullopt;
    }
    NfeEvent event;
    event.type = type;
    event.data.reserve(total);
    if (withPath) event.SetApplicationPath(info.applicationId);
    event.data.insert(event.data.end(), extraData.begin(), extraData.end());

    event.processId = info.processId.value_or(0);
    if (type == NFE_EVENT_STREAM_DATA && flow != nullptr) event.processId = flow->processId;
    if (type != NFE_EVENT_STREAM_DATA) CopyUserSid(info.userSid, event);

    event.inbound = IsStreamLayer(info.layerId) && info.inbound ? 1 : 0;
    event.source = event.inbound ? info.remote : info.local;
    event.destination = event.inbound ? info.local : info.remote;

    if (info.endpointHandle) {
        event.endpointHandle = *info.endpointHandle;
    } else if (flow != nullptr) {
        event.endpointHandle = flow->endpointHandle;
    }
    if (info.flowHandle) {
        event.flowId = *info.flowHandle;
    } else if (flow != nullptr) {
        event.flowId = flow->flowId;
    }
    return event;
}

bool NfeEngine::QueueEvent(NfeEvent event, const FlowContext* flow) {
    return queue_.Append(std::move(event), flow, Now());
}

void NfeEngine::Message(const std::string& text, uint64_t status, uint64_t parameter, uint32_t severity) {
    if (queue_.Count() >= kMaxQueuedWithMessages) return;
    NfeEvent event;
    event.type = NFE_EVENT_MESSAGE;
    event.data.assign(text.begin(), text.end());
    event.data.push_back(0);
    event.messageStatus = status;
    event.messageParameter = parameter;
    event.messageSeverity = severity;
    queue_.Append(std::move(event), nullptr, Now());
}

uint32_t NfeEngine::Start() {
    EventQueue::DeferServing defer(queue_);
    std::lock_guard lock(lifecycleMutex_);
    if (Config()->size == 0) return kStatusNotConfigured;
    if (IsActive()) return kStatusAlreadyStarted;
    queue_.Clear(false);
    active_.store(true);
    Message("RuzOraDadeda started.", 0, 1, NFE_SEVERITY_INFORMATION);
    return kStatusSuccess;
}

void NfeEngine::Stop(bool automatic) {
    // Waiting get-event requests are served only after the lock is released,
    // so a program that restarts the engine from its completion cannot deadlock.
    EventQueue::DeferServing defer(queue_);
    std::lock_guard lock(lifecycleMutex_);
    if (!active_.exchange(false)) return;
    redirector_.ExpireAll();
    // After the held connects went on: no connect is redirected until the next start.
    platform_.ReleaseRedirects();
    flows_.RemoveAll(automatic);
    queue_.Clear(true);
    Message("RuzOraDadeda stopped.", automatic ? 1 : 0, 2, NFE_SEVERITY_INFORMATION);
}

void NfeEngine::Teardown() {
    EventQueue::DeferServing defer(queue_);
    std::lock_guard lock(lifecycleMutex_);
    active_.store(false);
    flows_.RemoveAll(false);
    redirector_.ExpireAll();
    queue_.Clear(false);
}

bool NfeEngine::OpenFile() {
    bool expected = false;
    if (!fileOpen_.compare_exchange_strong(expected, true)) return false;
    queue_.Reopen();
    return true;
}

void NfeEngine::CloseFile() {
    queue_.CancelWaiters();
    Stop(false);
    // The ports were the closing program's; the next one may not send any.
    platform_.SetConnectPorts(NfePortRules::All());
    fileOpen_.store(false);
}

}  // namespace hbt
