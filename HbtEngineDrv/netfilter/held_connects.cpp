#include "HbtEngineDrv/netfilter/held_connects.h"

namespace hbt {

HeldConnects::SynMatch HeldConnects::Match(const TcpFourTuple& tuple, uint32_t isn, uint32_t packetId) {
    std::lock_guard lock(mutex_);
    if (auto it = byTuple_.find(tuple); it != byTuple_.end()) {
        auto held = pending_.find(it->second);
        if (held != pending_.end() && held->second.isn == isn) {
            held->second.packetIds.push_back(packetId);
            return {SynMatch::Kind::kJoined, 0};
        }
    }
    if (auto it = answers_.find(tuple); it != answers_.end() && it->second.isn == isn) {
        return {SynMatch::Kind::kAnswered, it->second.mark};
    }
    return {};
}

ClassifyInfo HeldConnects::Hold(const TcpFourTuple& tuple, uint32_t isn, uint32_t packetId, ClassifyInfo info) {
    std::lock_guard lock(mutex_);
    const uint64_t handle = ++nextHandle_;
    info.connectHandle = handle;
    info.endpointHandle = handle;
    byTuple_[tuple] = handle;
    pending_[handle] = PendingConnect{handle, tuple, isn, {packetId}, info};
    return info;
}

std::optional<PendingConnect> HeldConnects::Take(uint64_t handle) {
    std::lock_guard lock(mutex_);
    auto it = pending_.find(handle);
    if (it == pending_.end()) return std::nullopt;
    PendingConnect pending = std::move(it->second);
    pending_.erase(it);
    byTuple_.erase(pending.tuple);
    return pending;
}

void HeldConnects::RecordAnswer(const TcpFourTuple& tuple, uint32_t isn, uint32_t mark, uint64_t now) {
    std::lock_guard lock(mutex_);
    answers_[tuple] = Answer{isn, mark, now};
}

void HeldConnects::PruneAnswers(uint64_t now) {
    std::lock_guard lock(mutex_);
    std::erase_if(answers_, [now](const auto& entry) { return now - entry.second.time > kAnswerKeep; });
}

std::vector<uint32_t> HeldConnects::TakeAllPackets() {
    std::unordered_map<uint64_t, PendingConnect> pending;
    {
        std::lock_guard lock(mutex_);
        pending.swap(pending_);
        byTuple_.clear();
        answers_.clear();
    }
    std::vector<uint32_t> packetIds;
    for (const auto& [handle, connect] : pending) {
        packetIds.insert(packetIds.end(), connect.packetIds.begin(), connect.packetIds.end());
    }
    return packetIds;
}

}  // namespace hbt
