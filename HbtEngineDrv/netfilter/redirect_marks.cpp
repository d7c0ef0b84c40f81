#include "HbtEngineDrv/netfilter/redirect_marks.h"

#include "HbtEngineDrv/netfilter/packet_marks.h"

namespace hbt {

uint32_t RedirectMarks::MarkOf(const RedirectTarget& target) const {
    for (const auto& [mark, used] : inUse_) {
        if (used == target) return mark;
    }
    return 0;
}

uint32_t RedirectMarks::NextFree() const {
    // Targets are released all together, so the marks in use are the run
    // handed out last: the one after it is free unless every one is taken.
    if (inUse_.size() >= kMaxRedirectTargets) return 0;
    return kMarkRedirectBase + lastIndex_ % kMaxRedirectTargets + 1;
}

void RedirectMarks::Use(uint32_t mark, const RedirectTarget& target) {
    inUse_[mark] = target;
    lastIndex_ = mark - kMarkRedirectBase;
}

bool RedirectMarks::AnyIn(bool ipv6) const {
    for (const auto& [mark, target] : inUse_) {
        if (target.ipv6 == ipv6) return true;
    }
    return false;
}

}  // namespace hbt
