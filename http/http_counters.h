#pragma once
// The request counters of the HTTP handling, in the order the statistics
// block carries them. Each only ever grows by one, atomically.
#include <atomic>
#include <cstdint>

namespace hbt {

struct HttpCounters {
    std::atomic<uint64_t> httpsProxyConnections{0};
    std::atomic<uint64_t> httpBypassedByRule{0};
    std::atomic<uint64_t> httpBypassedWithoutHttps{0};
    std::atomic<uint64_t> httpUserActionRequests{0};
    std::atomic<uint64_t> httpRedirects{0};
    std::atomic<uint64_t> httpLoopReports{0};
};

}  // namespace hbt
