#include "engine_client/refusal_folding.h"

#include <algorithm>

namespace hbt {

bool CRefusalFolding::Add(const RefusalLine& refusal, const std::string& destination, Clock::time_point now) {
    std::lock_guard guard(mutex_);
    WriteDueLocked(now);
    const Key key{refusal.applicationPath, refusal.host, destination, refusal.reason};
    const auto [burst, started] = bursts_.try_emplace(key, Burst{refusal, 0, now + kWindow});
    ++burst->second.times;
    if (started) added_.notify_all();
    return started;
}

void CRefusalFolding::WriteDue(Clock::time_point now) {
    std::lock_guard guard(mutex_);
    WriteDueLocked(now);
}

void CRefusalFolding::WriteAll() {
    std::lock_guard guard(mutex_);
    for (const auto& [key, burst] : bursts_) WriteRefusalLine(burst.line, burst.times);
    bursts_.clear();
}

void CRefusalFolding::WriteDueLocked(Clock::time_point now) {
    for (auto it = bursts_.begin(); it != bursts_.end();) {
        if (it->second.due > now) {
            ++it;
            continue;
        }
        WriteRefusalLine(it->second.line, it->second.times);
        it = bursts_.erase(it);
    }
}

void CRefusalFolding::WriteUntilStopped(std::stop_token stop) {
    {
        std::unique_lock lock(mutex_);
        while (!stop.stop_requested()) {
            if (bursts_.empty()) {
                added_.wait(lock, stop, [this] { return !bursts_.empty(); });
                continue;
            }
            const auto next = std::min_element(bursts_.begin(), bursts_.end(), [](const auto& a, const auto& b) {
                                  return a.second.due < b.second.due;
                              })->second.due;
            added_.wait_until(lock, stop, next, [] { return false; });
            WriteDueLocked(Clock::now());
        }
    }
    WriteAll();
}

}  // namespace hbt
