#include "core/redirect_table.h"

#include <algorithm>

namespace hbt {

RedirectRecordId RedirectTable::Add(RedirectRecord record, Clock::time_point now) {
    std::lock_guard lock(lock_);
    DropExpiredLocked(now);
    const RedirectRecordId id = nextId_++;
    entries_.push_back({id, std::move(record), now});
    return id;
}

std::optional<RedirectRecord> RedirectTable::Claim(const SocketAddressSlot& peer,
                                                   const SocketAddressSlot& originalDestination,
                                                   Clock::time_point now) {
    std::lock_guard lock(lock_);
    DropExpiredLocked(now);
    if (auto exact = TakeFirstLocked(true, peer, originalDestination)) return exact;
    return TakeFirstLocked(false, peer, originalDestination);
}

std::optional<RedirectRecord> RedirectTable::TakeFirstLocked(bool samePort, const SocketAddressSlot& peer,
                                                             const SocketAddressSlot& originalDestination) {
    const auto found = std::find_if(entries_.begin(), entries_.end(), [&](const Entry& entry) {
        if (!SameEndpoint(entry.record.destination, originalDestination)) return false;
        return samePort ? RedirectRecordMatches(entry.record, peer) : RedirectRecordFromClient(entry.record, peer);
    });
    if (found == entries_.end()) return std::nullopt;
    RedirectRecord record = std::move(found->record);
    entries_.erase(found);
    return record;
}

void RedirectTable::DropExpiredLocked(Clock::time_point now) {
    while (!entries_.empty() && now - entries_.front().added > kRedirectRecordLifetime) entries_.pop_front();
}

bool RedirectTable::Withdraw(RedirectRecordId id) {
    std::lock_guard lock(lock_);
    const auto found = std::find_if(entries_.begin(), entries_.end(), [&](const Entry& entry) { return entry.id == id; });
    if (found == entries_.end()) return false;
    entries_.erase(found);
    return true;
}

void RedirectTable::Clear() {
    std::lock_guard lock(lock_);
    entries_.clear();
}

}  // namespace hbt
