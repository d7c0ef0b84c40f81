#pragma once
// Flow inspection: flow contexts for connections the program asked to
// inspect, the stream classify with its capture rule, and the flow operations
// (detach, inject) through which the program gives captured data back.
#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <vector>

#include "HbtEngineDrv/engine/flow_context.h"
#include "HbtEngineDrv/platform/filter_platform.h"

namespace hbt {

class NfeEngine;
struct NfeConfig;
struct NfeFlowOperation;

class FlowInspector {
public:
    FlowInspector(NfeEngine& engine, FilterPlatform& platform);

    // A connection the program asked to inspect is established; `info` carries
    // its flow and endpoint handles.
    void FlowEstablished(const ClassifyInfo& info);
    void FlowDeleted(uint16_t layerId, uint32_t calloutId, const std::shared_ptr<FlowContext>& context);
    StreamAction StreamClassify(const ClassifyInfo& info, const StreamSegment& segment,
                                const std::shared_ptr<FlowContext>& context);
    // A size-checked flow operation record; returns an NTSTATUS.
    uint32_t Operation(const NfeFlowOperation& operation);
    // Releases every flow; with disconnect, inspected connections are closed
    // towards their local application first.
    void RemoveAll(bool disconnect);

    std::size_t Count() const;

private:
    std::shared_ptr<FlowContext> Find(uint64_t flowId) const;
    bool Capture(const NfeConfig& config, const ClassifyInfo& info, const StreamSegment& segment,
                 FlowContext& context);
    bool InsertRequestLine(const NfeConfig& config, const StreamSegment& segment, FlowContext& context);
    uint32_t Inject(const FlowContext& context, uint32_t flags, std::vector<uint8_t> data, bool quiet);
    uint32_t Detach(const std::shared_ptr<FlowContext>& context);
    bool QueueStreamEvent(const ClassifyInfo& info, const StreamSegment& segment, FlowContext& context,
                          uint32_t answerFlags);

    NfeEngine& engine_;
    FilterPlatform& platform_;
    mutable std::mutex mutex_;
    std::list<std::shared_ptr<FlowContext>> flows_;
};

}  // namespace hbt
