#pragma once
// The ON/OFF switch's geometry and the mapping of its scroll events to the
// position it snaps to. Positions run from 0 to 1000; the thumb moves only in
// the band between a quarter and three quarters of the control's width.
#include <optional>

namespace hbt {

inline constexpr int kSwitchMaximum = 1000;
inline constexpr int kSwitchMiddle = 500;

struct SwitchPositions {
    int off = 0;
    int on = kSwitchMaximum;
};

enum class SwitchScroll { LineDown, PageDown, Bottom, LineUp, PageUp, Top, Released, Dragged, EndTracking };

// The thumb's left edge for a position, for a control `width` wide.
int ThumbLeft(int position, int width, int thumbLength);
// The position whose thumb is centred nearest to x.
int PositionForThumbCentre(int x, int width, int thumbLength);
// OFF: the smallest position whose thumb lies right of a quarter of the width;
// ON: the largest whose thumb lies left of three quarters.
SwitchPositions FindSwitchPositions(int width, int thumbLength);

bool InActiveBand(int x, int width);
// x moved to the nearest edge of the band when it lies outside.
int IntoActiveBand(int x, int width);

// Where the thumb goes for a scroll event at position p; nullopt when it stays.
std::optional<int> SwitchTarget(SwitchScroll scroll, int p, SwitchPositions positions);

}  // namespace hbt
