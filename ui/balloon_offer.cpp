#include "ui/balloon_offer.h"

#include "core/hbt_core.h"

namespace hbt {

bool OfferStillRunningBalloon(CHbtCore& core, bool bothWindowsVisible) {
    const std::shared_ptr<const Preferences> current = core.PreferencesSnapshot();
    if (core.Halted() || !core.Running() || bothWindowsVisible || current->SysTryIconMessageShown) return false;
    Preferences changed = *current;
    changed.SysTryIconMessageShown = true;
    core.ApplyPreferences(changed, CHbtCore::kApplyAndSave);
    return true;
}

}  // namespace hbt
