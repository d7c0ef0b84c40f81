#pragma once
// How many connections of each process to each destination the proxy is
// handling now; the connection limit is checked against these.
#include <cstdint>
#include <map>
#include <mutex>

#include "http/connection_description.h"

namespace hbt {

class ConnectionCounts {
public:
    // Counts the connection in and returns the new count.
    uint64_t Enter(uint64_t processId, const DestinationKey& key);
    void Leave(uint64_t processId, const DestinationKey& key);
    uint64_t InProgress(uint64_t processId, const DestinationKey& key) const;

private:
    mutable std::mutex lock_;
    std::map<uint64_t, std::map<DestinationKey, uint64_t>> counts_;  // no zero entries
};

}  // namespace hbt
