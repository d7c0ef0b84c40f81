#include "ui/settings_take_up_service.h"

#include "core/hbt_core.h"
#include "log/log.h"

namespace hbt {

void OpenSettingsTakeUp(SettingsTakeUpEndpoint& endpoint, CHbtCore& core, CoreUserInterface& userInterface,
                        const std::string& settingsPath) {
    std::string error;
    const bool open = endpoint.Open(
        settingsPath,
        [&core, &userInterface] { userInterface.RunOnUiThread([&core] { core.TakeUpStoredPreferences(); }); },
        error);
    if (!open) CLog(kLogError) << "Cannot take up settings changed by hbtctl: " << error;
}

}  // namespace hbt
