#pragma once
// The "still running" balloon: offered once per user, when a window closes
// while the product runs; the offer is remembered in the preferences.
#include <string>

namespace hbt {

class CHbtCore;

inline constexpr wchar_t kBalloonTitle[] = L"Harbinet";
inline constexpr wchar_t kBalloonText[] =
    L"Harbinet is minimized and still running.\nClick on this icon to restore Harbinet window.";

// True when the balloon is to be shown now; the first offer also stores that
// it was made. Nothing is offered while the engine is halted or the core
// stops, or while both windows stay visible.
bool OfferStillRunningBalloon(CHbtCore& core, bool bothWindowsVisible);

}  // namespace hbt
