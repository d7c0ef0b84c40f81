#include "HbtEngineDrv/platform/sim_platform.h"

namespace hbt {

namespace {
bool IsIpv6(const SimConnection& c) { return c.remote.IsIpv6(); }
}  // namespace

SimPlatform::SimPlatform(uint64_t startTime) : now_(startTime) {}

void SimPlatform::Advance(uint64_t units) {
    std::lock_guard lock(mutex_);
    now_ += units;
}

uint64_t SimPlatform::Now() {
    std::lock_guard lock(mutex_);
    return now_;
}

SimPlatform::ConnectResult SimPlatform::Connect(const SimConnection& connection) {
    ConnectResult result;
    {
        std::lock_guard lock(mutex_);
        result.connectHandle = nextHandle_++;
        result.endpointHandle = nextHandle_++;
        // As the kernel's rules do: a port not asked for never reaches the engine.
        if (connection.protocol == kProtocolTcp && !ports_.Holds(connection.remote.Port())) {
            ++passedConnects_;
            return result;
        }
    }
    ClassifyInfo info;
    info.layerId = IsIpv6(connection) ? kLayerConnectRedirectV6 : kLayerConnectRedirectV4;
    info.protocol = connection.protocol;
    info.processId = connection.processId;
    info.applicationId = connection.applicationPath;
    info.userSid = connection.userSid;
    info.local = connection.local;
    info.remote = connection.remote;
    info.endpointHandle = result.endpointHandle;
    info.connectHandle = result.connectHandle;
    info.alreadyRedirected = connection.alreadyRedirected;
    result.action = callouts_->ClassifyConnect(info);
    return result;
}

uint64_t SimPlatform::Establish(const SimConnection& connection, uint64_t endpointHandle) {
    uint64_t flowId = 0;
    {
        std::lock_guard lock(mutex_);
        flowId = nextHandle_++;
        flows_[flowId] = SimFlow{connection, endpointHandle, 0, 0, nullptr};
    }
    ClassifyInfo info;
    info.layerId = IsIpv6(connection) ? kLayerFlowEstablishedV6 : kLayerFlowEstablishedV4;
    info.protocol = connection.protocol;
    info.processId = connection.processId;
    info.applicationId = connection.applicationPath;
    info.userSid = connection.userSid;
    info.local = connection.local;
    info.remote = connection.remote;
    info.flowHandle = flowId;
    info.endpointHandle = endpointHandle;
    callouts_->ClassifyFlowEstablished(info);
    return flowId;
}

StreamAction SimPlatform::Segment(uint64_t flowId, uint32_t streamFlags, std::vector<uint8_t> data) {
    ClassifyInfo info;
    std::shared_ptr<FlowContext> context;
    {
        std::lock_guard lock(mutex_);
        auto it = flows_.find(flowId);
        if (it == flows_.end() || !it->second.context) return StreamAction::kNone;
        const SimFlow& flow = it->second;
        info.layerId = flow.layerId;
        info.local = flow.connection.local;
        info.remote = flow.connection.remote;
        info.flowHandle = flowId;
        info.endpointHandle = flow.endpointHandle;
        context = flow.context;
    }
    return callouts_->ClassifyStream(info, StreamSegment{streamFlags, std::move(data)}, context);
}

void SimPlatform::EndFlow(uint64_t flowId) {
    uint16_t layerId = 0;
    uint32_t calloutId = 0;
    std::shared_ptr<FlowContext> context = DetachContext(flowId, layerId, calloutId);
    {
        std::lock_guard lock(mutex_);
        flows_.erase(flowId);
    }
    if (context) callouts_->FlowDeleted(layerId, calloutId, context);
}

std::shared_ptr<FlowContext> SimPlatform::DetachContext(uint64_t flowId, uint16_t& layerId, uint32_t& calloutId) {
    std::lock_guard lock(mutex_);
    auto it = flows_.find(flowId);
    if (it == flows_.end()) return nullptr;
    layerId = it->second.layerId;
    calloutId = it->second.calloutId;
    return std::exchange(it->second.context, nullptr);
}

bool SimPlatform::IsInspected(uint64_t flowId) const {
    std::lock_guard lock(mutex_);
    auto it = flows_.find(flowId);
    return it != flows_.end() && it->second.context != nullptr;
}

std::vector<ConnectCompletion> SimPlatform::Completions(uint64_t connectHandle) const {
    std::lock_guard lock(mutex_);
    std::vector<ConnectCompletion> found;
    for (const auto& [handle, completion] : completions_) {
        if (handle == connectHandle) found.push_back(completion);
    }
    return found;
}

std::size_t SimPlatform::CompletionCount() const {
    std::lock_guard lock(mutex_);
    return completions_.size();
}

std::vector<StreamInjection> SimPlatform::Injections() const {
    std::lock_guard lock(mutex_);
    return injections_;
}

void SimPlatform::SetInjectionStatus(uint32_t status) {
    std::lock_guard lock(mutex_);
    injectionStatus_ = status;
}

std::size_t SimPlatform::RedirectReleaseCount() const {
    std::lock_guard lock(mutex_);
    return redirectReleases_;
}

void SimPlatform::ReleaseRedirects() {
    std::lock_guard lock(mutex_);
    ++redirectReleases_;
}

void SimPlatform::CompleteConnect(uint64_t connectHandle, const ConnectCompletion& completion) {
    std::lock_guard lock(mutex_);
    completions_.emplace_back(connectHandle, completion);
    if (batchDepth_ > 0) ++batchedCompletions_;
}

void SimPlatform::BeginCompletionBatch() {
    std::lock_guard lock(mutex_);
    ++batchDepth_;
}

void SimPlatform::EndCompletionBatch() {
    std::lock_guard lock(mutex_);
    --batchDepth_;
}

std::size_t SimPlatform::BatchedCompletionCount() const {
    std::lock_guard lock(mutex_);
    return batchedCompletions_;
}

uint32_t SimPlatform::InjectStream(const StreamInjection& injection) {
    std::lock_guard lock(mutex_);
    if (injectionStatus_ == 0) injections_.push_back(injection);
    return injectionStatus_;
}

bool SimPlatform::AssociateFlowContext(uint64_t flowId, uint16_t layerId, uint32_t calloutId,
                                       std::shared_ptr<FlowContext> context) {
    std::lock_guard lock(mutex_);
    auto it = flows_.find(flowId);
    if (it == flows_.end() || it->second.context) return false;
    it->second.layerId = layerId;
    it->second.calloutId = calloutId;
    it->second.context = std::move(context);
    return true;
}

bool SimPlatform::RemoveFlowContext(uint64_t flowId, uint16_t, uint32_t) {
    uint16_t layerId = 0;
    uint32_t calloutId = 0;
    std::shared_ptr<FlowContext> context = DetachContext(flowId, layerId, calloutId);
    if (!context) return false;
    callouts_->FlowDeleted(layerId, calloutId, context);
    return true;
}

}  // namespace hbt

namespace hbt {

bool SimPlatform::SetConnectPorts(const NfePortRules& ports) {
    std::lock_guard lock(mutex_);
    if (failPorts_) return false;
    ports_ = ports;
    return true;
}

NfePortRules SimPlatform::ConnectPorts() const {
    std::lock_guard lock(mutex_);
    return ports_;
}

std::size_t SimPlatform::PassedConnectCount() const {
    std::lock_guard lock(mutex_);
    return passedConnects_;
}

void SimPlatform::FailConnectPorts(bool fail) {
    std::lock_guard lock(mutex_);
    failPorts_ = fail;
}

}  // namespace hbt
