#include "core/connection_counts.h"

namespace hbt {

uint64_t ConnectionCounts::Enter(uint64_t processId, const DestinationKey& key) {
    std::lock_guard lock(lock_);
    return ++counts_[processId][key];
}

void ConnectionCounts::Leave(uint64_t processId, const DestinationKey& key) {
    std::lock_guard lock(lock_);
    const auto process = counts_.find(processId);
    if (process == counts_.end()) return;
    const auto entry = process->second.find(key);
    if (entry != process->second.end() && --entry->second == 0) process->second.erase(entry);
    if (process->second.empty()) counts_.erase(process);
}

uint64_t ConnectionCounts::InProgress(uint64_t processId, const DestinationKey& key) const {
    std::lock_guard lock(lock_);
    const auto process = counts_.find(processId);
    if (process == counts_.end()) return 0;
    const auto entry = process->second.find(key);
    return entry == process->second.end() ? 0 : entry->second;
}

}  // namespace hbt
