#pragma once
// What the dialogs ask of the application object: the tray and the
// dialog's refresh, the log window, the autorun record and the balloon.
namespace hbt {

class DesktopShell {
public:
    virtual ~DesktopShell() = default;
    // Renews the tray icon and has the main dialog reload from the core.
    virtual void RefreshTrayAndDialog() = 0;
    virtual void ShowLogWindow() = 0;
    virtual void ShowMainDialog() = 0;
    // The orderly exit, as "E&xit" in the tray menu.
    virtual void ExitProgram() = 0;
    virtual bool AutorunEnabled() const = 0;
    // Sets the autorun record on or off; answers the state that holds afterwards.
    virtual bool SetAutorun(bool on) = 0;
    // A window is being closed: the still-running balloon, once per user.
    virtual void ShowMinimizedBalloon() = 0;
};

}  // namespace hbt
