#include "core/redirect_table.h"

#include <algorithm>

namespace hbt {

RedirectRecordId RedirectTable::Add(RedirectRecord record) {
    std::lock_guard lock(lock_);
    const RedirectRecordId id = nextId_++;
    entries_.push_back({id, std::move(record)});
    return id;
}

std::optional<RedirectRecord> RedirectTable::TakeOldestMatch(const SocketAddressSlot& peer) {
    std::lock_guard lock(lock_);
    const auto found = std::find_if(entries_.begin(), entries_.end(),
                                    [&](const Entry& entry) { return RedirectRecordMatches(entry.record, peer); });
    if (found == entries_.end()) return std::nullopt;
    RedirectRecord record = std::move(found->record);
    entries_.erase(found);
    return record;
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
