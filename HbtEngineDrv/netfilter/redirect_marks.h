#pragma once
// RedirectMarks: which packet mark stands for which redirect target while the
// target is in use. A released mark is handed out again only after every
// other mark has been, so a late SYN that still carries the mark of a
// released target (a retransmit answered as before) never meets the rule of
// a newer target.
#include <array>
#include <cstdint>
#include <map>

namespace hbt {

struct RedirectTarget {
    bool ipv6 = false;
    std::array<uint8_t, 16> address{};
    uint16_t port = 0;  // host byte order
    bool operator==(const RedirectTarget&) const = default;
};

class RedirectMarks {
public:
    // The mark of a target in use, or 0.
    uint32_t MarkOf(const RedirectTarget& target) const;
    // The mark the next new target gets, or 0 when every mark is in use.
    uint32_t NextFree() const;
    // The target's rule is in place under `mark` (from NextFree).
    void Use(uint32_t mark, const RedirectTarget& target);
    // No target is in use any more.
    void ReleaseAll() { inUse_.clear(); }

    bool AnyIn(bool ipv6) const;
    const std::map<uint32_t, RedirectTarget>& InUse() const { return inUse_; }

private:
    std::map<uint32_t, RedirectTarget> inUse_;  // by mark
    uint32_t lastIndex_ = 0;  // low part of the mark handed out last
};

}  // namespace hbt
