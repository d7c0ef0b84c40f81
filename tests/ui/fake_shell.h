#pragma once
// The application object as the windows see it: counts what they ask of it.
#include "ui/desktop_shell.h"
#include "ui/preferences_dialog.h"

namespace hbt::test {

class FakeShell : public DesktopShell {
public:
    void RefreshTrayAndDialog() override {
        ++refreshes;
        if (dialog) dialog->RefreshFromCore();
    }
    void ShowLogWindow() override {}
    void ShowMainDialog() override { ++mainDialogShown; }
    void ExitProgram() override { ++exits; }
    bool AutorunEnabled() const override { return false; }
    bool SetAutorun(bool on) override { return on; }
    void ShowMinimizedBalloon() override { ++balloons; }

    CPreferencesDlg* dialog = nullptr;
    int refreshes = 0;
    int mainDialogShown = 0;
    int exits = 0;
    int balloons = 0;
};

}  // namespace hbt::test
