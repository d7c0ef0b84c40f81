#pragma once
// The counters the statistics displays read. Each only ever grows by one,
// atomically; none is reset while the program runs.
#include <atomic>
#include <cstdint>

#include "http/http_counters.h"

namespace hbt {

struct HbtStatistics {
    std::atomic<uint64_t> engineEventsRead{0};
    std::atomic<uint64_t> engineEventsHandled{0};
    std::atomic<uint64_t> connectRequests{0};
    std::atomic<uint64_t> connectionsToProxy{0};
    std::atomic<uint64_t> flowsEstablished{0};
    std::atomic<uint64_t> flowsInspected{0};
    std::atomic<uint64_t> streamDataEvents{0};
    std::atomic<uint64_t> tlsFlowsBlocked{0};
    std::atomic<uint64_t> tlsFlowsReleased{0};
    std::atomic<uint64_t> connectionsAccepted{0};
    std::atomic<uint64_t> connectionsProcessed{0};
    std::atomic<uint64_t> targetsNotFound{0};
    std::atomic<uint64_t> connectionsFailed{0};
    HttpCounters http;
};

}  // namespace hbt
