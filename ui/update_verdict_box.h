#pragma once
// The update check's verdict on the interface thread: the out-of-date box and
// then the download page, or the update notice whose Yes opens the page and
// whose ticked box turns the update check at start-up off.
#include "update/update_checker.h"

class QWidget;

namespace hbt {

class CHbtCore;
class SettingsStore;

// Modal; `owner` is the log window. `store` keeps the notice's remembered answer.
void ShowUpdateVerdict(const UpdateVerdict& verdict, CHbtCore& core, SettingsStore& store, QWidget* owner);

}  // namespace hbt
