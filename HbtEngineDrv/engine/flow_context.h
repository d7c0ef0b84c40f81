#pragma once
// The engine's record of one inspected flow, shared with the platform, which
// hands it back with every stream indication of the flow.
#include <atomic>
#include <cstdint>

namespace hbt {

struct FlowContext {
    uint64_t flowId = 0;
    uint16_t layerId = 0;    // stream layer of the flow
    uint32_t calloutId = 0;  // stream callout of that layer
    uint32_t processId = 0;
    uint64_t endpointHandle = 0;
    // Counted by the flow's own stream indications, which the platform delivers one at a time.
    uint64_t bytesSent = 0;
    uint64_t bytesReceived = 0;
    // One-way; set under the event queue lock by a detach, read there by the queue.
    std::atomic<bool> detached{false};
    // Linked in the engine's flow list; changed under the flow list lock.
    bool inList = false;
};

}  // namespace hbt
