#include "ui/switch_positions.h"

#include <algorithm>

namespace hbt {

int ThumbLeft(int position, int width, int thumbLength) {
    const int travel = std::max(0, width - thumbLength);
    return static_cast<int>(static_cast<long long>(position) * travel / kSwitchMaximum);
}

int PositionForThumbCentre(int x, int width, int thumbLength) {
    const int travel = std::max(1, width - thumbLength);
    const long long left = x - thumbLength / 2;
    const long long position = (left * kSwitchMaximum + travel / 2) / travel;
    return static_cast<int>(std::clamp<long long>(position, 0, kSwitchMaximum));
}

SwitchPositions FindSwitchPositions(int width, int thumbLength) {
    SwitchPositions positions{kSwitchMiddle, kSwitchMiddle};
    for (int p = 0; p <= kSwitchMaximum; ++p) {
        if (ThumbLeft(p, width, thumbLength) > width / 4) {
            positions.off = p;
            break;
        }
    }
    for (int p = kSwitchMaximum; p >= 0; --p) {
        if (ThumbLeft(p, width, thumbLength) + thumbLength < width * 3 / 4) {
            positions.on = p;
            break;
        }
    }
    return positions;
}

bool InActiveBand(int x, int width) { return x >= width / 4 && x <= width * 3 / 4; }

int IntoActiveBand(int x, int width) { return std::clamp(x, width / 4, width * 3 / 4); }

std::optional<int> SwitchTarget(SwitchScroll scroll, int p, SwitchPositions positions) {
    switch (scroll) {
        case SwitchScroll::LineDown:
        case SwitchScroll::PageDown:
        case SwitchScroll::Bottom: return positions.on;
        case SwitchScroll::LineUp:
        case SwitchScroll::PageUp:
        case SwitchScroll::Top: return positions.off;
        case SwitchScroll::Released: return p > kSwitchMiddle ? positions.on : positions.off;
        case SwitchScroll::Dragged:
            if (p > positions.on) return positions.on;
            if (p < positions.off) return positions.off;
            return p;
        case SwitchScroll::EndTracking: return std::nullopt;
    }
    return std::nullopt;
}

}  // namespace hbt
