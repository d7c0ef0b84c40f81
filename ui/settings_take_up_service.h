#pragma once
// The running program's side of a settings change made by hbtctl: the
// endpoint's requests become a take-up on the interface thread, as every
// other change of the preferences is made there.
#include <string>

#include "platform/settings_take_up.h"

namespace hbt {

class CHbtCore;
class CoreUserInterface;

// Opens `endpoint` for the settings file at `settingsPath`; a failure is
// logged (the program runs on, only hbtctl's changes wait for its next start).
void OpenSettingsTakeUp(SettingsTakeUpEndpoint& endpoint, CHbtCore& core, CoreUserInterface& userInterface,
                        const std::string& settingsPath);

}  // namespace hbt
