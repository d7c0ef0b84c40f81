#pragma once
// The tray menu as a list of entries built from the preferences, and the mode
// commands it offers as changes to a preferences record.
#include <string>
#include <vector>

#include "rules/preferences.h"

namespace hbt {

// Command identifiers of the tray menu's items.
enum TrayCommand : int {
    kTrayTitle = 32772,
    kTrayToggleOn = 32773,
    kTrayAutoRedirect = 32774,
    kTrayExit = 32776,
    kTrayShowLog = 32777,
    kTraySettings = 32778,
    kTrayStrict = 32784,
    kTrayBestEffort = 32785,
    kTrayCheckHttps = 32786,
};

struct TrayMenuEntry {
    int command = 0;  // 0 for a separator
    std::wstring text;
    bool enabled = true;
    bool radio = false;      // a radio mark when checked
    bool checkable = false;  // a check mark when checked
    bool checked = false;

    bool IsSeparator() const { return command == 0; }
};

// "Harbinet: OFF", "Harbinet: Strict Mode" or "Harbinet: Best-Effort Mode".
std::wstring TrayModeTitle(const Preferences& preferences);
// The whole menu from the top; the Strict Mode options only in Strict Mode.
std::vector<TrayMenuEntry> BuildTrayMenu(const Preferences& preferences);
// Changes the field a mode command stands for; false for any other command.
bool ApplyModeCommand(int command, Preferences& preferences);

}  // namespace hbt
