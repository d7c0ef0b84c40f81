#pragma once
// Telling the running program that a file it reads was changed by hbtctl.
#include <string>

#include "platform/settings_take_up.h"

namespace hbt::ctl {

// Asks the program that reads this settings file to take the change up and
// returns its answer (waiting a few seconds at most).
TakeUpAnswer AskRunningProgram(const std::string& settingsPath);
// The same, with a line on standard output that says what came of it.
void TellRunningProgram(const std::string& settingsPath);

}  // namespace hbt::ctl
