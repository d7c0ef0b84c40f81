#include "HbtEngineDrv/engine/flow_inspector.h"

#include "HbtEngineDrv/engine/capture_pattern.h"
#include "HbtEngineDrv/engine/nfe_engine.h"
#include "HbtEngineDrv/engine/request_line_insertion.h"
#include "engine_protocol/nfe_flow_operation.h"
#include "engine_protocol/nfe_protocol.h"

namespace hbt {

namespace {
constexpr uint32_t kExpeditedFlags = NFE_STREAM_FLAG_RECEIVE_EXPEDITED | NFE_STREAM_FLAG_SEND_EXPEDITED;
constexpr uint32_t kDisconnectFlags = NFE_STREAM_FLAG_RECEIVE_DISCONNECT | NFE_STREAM_FLAG_SEND_DISCONNECT;
// Insertion-mode stream events say in the answer-flags field whether an insertion was made.
constexpr uint32_t kInsertionNotMade = 1;
constexpr uint32_t kInsertionMade = 2;
}  // namespace

FlowInspector::FlowInspector(NfeEngine& engine, FilterPlatform& platform) : engine_(engine), platform_(platform) {}

void FlowInspector::FlowEstablished(const ClassifyInfo& info) {
    auto context = std::make_shared<FlowContext>();
    const bool ipv6 = info.layerId == kLayerFlowEstablishedV6;
    context->flowId = *info.flowHandle;
    context->layerId = ipv6 ? kLayerStreamV6 : kLayerStreamV4;
    context->calloutId = ipv6 ? kStreamCalloutIdV6 : kStreamCalloutIdV4;
    context->processId = info.processId.value_or(0);
    context->endpointHandle = *info.endpointHandle;
    if (!platform_.AssociateFlowContext(context->flowId, context->layerId, context->calloutId, context)) {
        engine_.Message("238:Flow context association failed", kStatusUnsuccessful, context->processId);
        return;
    }
    {
        std::lock_guard lock(mutex_);
        context->inList = true;
        flows_.push_back(context);
    }
    if (auto event = engine_.CreateEvent(NFE_EVENT_FLOW_ESTABLISHED, info, nullptr, {})) {
        engine_.QueueEvent(std::move(*event), nullptr);
    }
}

void FlowInspector::FlowDeleted(uint16_t layerId, uint32_t calloutId, const std::shared_ptr<FlowContext>& context) {
    if (!context) {
        engine_.Message("336:NfeCalloutFlowDelete: flowContext=0", layerId != 0 ? layerId : kStatusUnsuccessful,
                        calloutId);
        return;
    }
    {
        std::lock_guard lock(mutex_);
        if (context->inList) {
            flows_.remove(context);
            context->inList = false;
        }
    }
    if (!engine_.IsActive()) return;
    NfeEvent event;
    event.type = NFE_EVENT_FLOW_DELETED;
    event.flowId = context->flowId;
    event.processId = context->processId;
    engine_.QueueEvent(std::move(event), nullptr);
}

StreamAction FlowInspector::StreamClassify(const ClassifyInfo& info, const StreamSegment& segment,
                                           const std::shared_ptr<FlowContext>& contextPtr) {
    FlowContext& context = *contextPtr;
    const auto config = engine_.Config();
    const bool received = (segment.streamFlags & NFE_STREAM_FLAG_RECEIVE) != 0;
    const std::size_t length = segment.data.size();
    bool endInspection = true;
    StreamAction action = StreamAction::kNone;

    if ((segment.streamFlags & kExpeditedFlags) != 0) {
        engine_.Message("156:Expedited stream data is not supported", kStatusUnsuccessful, context.flowId);
    } else if (context.bytesSent == 0 && (received || (length == 0 && context.bytesReceived == 0))) {
        // The server spoke first, or the connection ended before any data: nothing to judge.
    } else if (config->InsertionActive()) {
        endInspection = false;
        if (!received && length != 0) {
            const bool inserted = InsertRequestLine(*config, segment, context);
            QueueStreamEvent(info, segment, context, inserted ? kInsertionMade : kInsertionNotMade);
            if (inserted) action = StreamAction::kBlock;
        }
    } else if (config->HasCapturePatterns() && Capture(*config, info, segment, context)) {
        endInspection = false;
        action = StreamAction::kBlock;
    }

    if (received) {
        context.bytesReceived += length;
    } else {
        context.bytesSent += length;
    }
    if (!endInspection) return action;
    if (!platform_.RemoveFlowContext(context.flowId, context.layerId, context.calloutId)) {
        engine_.Message("255:Flow context removal failed", kStatusUnsuccessful, context.flowId);
    }
    return StreamAction::kAllowConnection;
}

bool FlowInspector::Capture(const NfeConfig& config, const ClassifyInfo& info, const StreamSegment& segment,
                            FlowContext& context) {
    if (context.detached.load()) return false;
    // The first bytes the application sends decide whether the flow is captured at all.
    if (context.bytesSent == 0 && !segment.data.empty() &&
        !MatchesCapturePattern(config, segment.data.data(), segment.data.size())) {
        return false;
    }
    return QueueStreamEvent(info, segment, context, 0);
}

bool FlowInspector::QueueStreamEvent(const ClassifyInfo& info, const StreamSegment& segment, FlowContext& context,
                                     uint32_t answerFlags) {
    std::optional<NfeEvent> event = engine_.CreateEvent(NFE_EVENT_STREAM_DATA, info, &context, segment.data);
    if (!event) {
        engine_.Message("72:CreateNfeEvent failed", kStatusUnsuccessful, context.flowId);
        return false;
    }
    event->streamFlags = segment.streamFlags;
    event->answerFlags = answerFlags;
    return engine_.QueueEvent(std::move(*event), &context);
}

bool FlowInspector::InsertRequestLine(const NfeConfig& config, const StreamSegment& segment, FlowContext& context) {
    std::optional<std::vector<uint8_t>> changed = BuildRequestLineInsertion(config, segment.data);
    if (!changed) return false;
    const uint32_t status = Inject(context, NFE_STREAM_FLAG_SEND, std::move(*changed), true);
    if (!NfeSucceeded(status)) {
        engine_.Message("81:InjectStreamData failed", status, context.flowId);
        return false;
    }
    context.bytesSent += config.insertionDataLength;
    return true;
}

uint32_t FlowInspector::Inject(const FlowContext& context, uint32_t flags, std::vector<uint8_t> data, bool quiet) {
    if (data.empty() && (flags & kDisconnectFlags) == 0) {
        engine_.Message("77:dataLength=0 but flags!=*_DISCONNECT", kStatusInvalidParameter, flags);
        return kStatusInvalidParameter;
    }
    const uint32_t status =
        platform_.InjectStream(StreamInjection{context.flowId, context.layerId, context.calloutId, flags, std::move(data)});
    if (!NfeSucceeded(status) && !quiet) {
        engine_.Message("107:Stream injection failed", status, context.flowId);
    }
    return status;
}

uint32_t FlowInspector::Detach(const std::shared_ptr<FlowContext>& context) {
    bool injecting = true;
    // Each still-queued segment of the flow goes back into the stream in queue
    // order; the last take marks the flow detached under the queue lock, so no
    // later segment can slip into the queue.
    while (std::optional<NfeEvent> event = engine_.Queue().TakeStreamEvent(context->flowId, context.get())) {
        if (injecting) injecting = NfeSucceeded(Inject(*context, event->streamFlags, std::move(event->data), true));
    }
    return kStatusSuccess;
}

uint32_t FlowInspector::Operation(const NfeFlowOperation& operation) {
    std::shared_ptr<FlowContext> context = Find(operation.flowId);
    if (!context) return kStatusNotFound;
    switch (operation.operation) {
        case NFE_FLOW_DETACH:
            return Detach(context);
        case NFE_FLOW_INJECT:
            return Inject(*context, operation.streamFlags, operation.data, false);
        default:
            return kStatusInvalidParameter;
    }
}

void FlowInspector::RemoveAll(bool disconnect) {
    for (;;) {
        std::shared_ptr<FlowContext> context;
        {
            std::lock_guard lock(mutex_);
            if (flows_.empty()) return;
            context = flows_.front();
            flows_.pop_front();
            context->inList = false;
        }
        const bool streamFlow = context->layerId == kLayerStreamV4 || context->layerId == kLayerStreamV6;
        if (disconnect && streamFlow) {
            Inject(*context, NFE_STREAM_FLAG_RECEIVE | NFE_STREAM_FLAG_RECEIVE_DISCONNECT, {}, false);
        }
        if (!platform_.RemoveFlowContext(context->flowId, context->layerId, context->calloutId)) {
            engine_.Message("156:Flow context removal failed", kStatusUnsuccessful, context->flowId);
        }
    }
}

std::shared_ptr<FlowContext> FlowInspector::Find(uint64_t flowId) const {
    std::lock_guard lock(mutex_);
    for (const auto& context : flows_) {
        if (context->flowId == flowId) return context;
    }
    return nullptr;
}

std::size_t FlowInspector::Count() const {
    std::lock_guard lock(mutex_);
    return flows_.size();
}

}  // namespace hbt
