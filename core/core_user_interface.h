#pragma once
// What the core asks of whichever front end runs it (the tray interface or the
// headless runner). Every call may come from any thread.
#include <functional>
#include <string>

#include "update/update_checker.h"

namespace hbt {

class CoreUserInterface {
public:
    virtual ~CoreUserInterface() = default;
    // Preferences or the ON/OFF state changed: renew the tray icon and the main dialog.
    virtual void RefreshTrayAndDialog() = 0;
    // Runs the action on the interface thread and returns when it has run.
    virtual void RunOnUiThread(const std::function<void()>& action) = 0;
    // Start-up could not open the engine; its reasons are in the log.
    // Called on the interface thread.
    virtual void EngineUnavailable() = 0;
    // Start-up failed for good: show the report (lines joined by "\n").
    // Called on the interface thread.
    virtual void ShowFatalError(const std::wstring& text) = 0;
    // The update check found something to show. Called on the check's
    // thread; returns once the user has dealt with it.
    virtual void ReportUpdateVerdict(const UpdateVerdict& verdict) = 0;
    // The exclusion prompts' boxes, called on the interface thread. A
    // question with the buttons Yes and No, No the default: true for Yes.
    virtual bool AskYesNo(const std::wstring& caption, const std::wstring& text) = 0;
    virtual void ShowError(const std::wstring& caption, const std::wstring& text) = 0;
};

}  // namespace hbt
