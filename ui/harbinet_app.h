#pragma once
// CHarbinetApp: the desktop program. One instance per computer; it starts the
// core, lives in the tray, turns each mode command into a preferences change
// through ApplyPreferences, and stops everything in order on exit.
#include <QApplication>

#include <memory>
#include <string>
#include <vector>

#include "core/core_user_interface.h"
#include "core/hbt_core.h"
#include "log/log_file_sink.h"
#include "ui/autorun_record.h"
#include "platform/settings_take_up.h"
#include "ui/desktop_shell.h"
#include "ui/single_instance.h"

namespace hbt {

class CDispatcher;
class CPreferencesDlg;
class CTrayIcon;
class DisplayStateWatch;
class FileSettingsStore;
class InstanceServer;
class LogPlaceholderWindow;

class CHarbinetApp : public CoreUserInterface, public DesktopShell {
public:
    explicit CHarbinetApp(std::string programPath);
    ~CHarbinetApp() override;

    // Start-up, the event loop and the exit; returns the exit status.
    int Run(const std::vector<std::string>& words);

    // DesktopShell (and the core's refresh)
    void RefreshTrayAndDialog() override;
    void ShowLogWindow() override;
    bool AutorunEnabled() const override { return autorunEnabled_; }
    bool SetAutorun(bool on) override;
    void ShowMinimizedBalloon() override;

    // CoreUserInterface
    void RunOnUiThread(const std::function<void()>& action) override;
    void EngineUnavailable() override;
    void ShowFatalError(const std::wstring& text) override;

private:
    bool TakeSingleInstance();
    void CreateWindows();
    void QueryAutorun();
    void WaitForPreferences();
    bool ShowMainDialog();
    void OnTrayCommand(int command);
    void DrainLog();
    void RefreshOnUiThread();
    void Exit();

    std::shared_ptr<FileSettingsStore> settings_;
    CHbtCore core_;
    MachineLock machineLock_;
    AutorunRecord autorun_;
    bool autorunEnabled_ = false;
    LogFileSink fileSink_;
    std::unique_ptr<CDispatcher> dispatcher_;
    std::unique_ptr<InstanceServer> instanceServer_;
    std::unique_ptr<CPreferencesDlg> dialog_;
    std::unique_ptr<LogPlaceholderWindow> logWindow_;
    std::unique_ptr<CTrayIcon> tray_;
    std::unique_ptr<DisplayStateWatch> displayState_;
    SettingsTakeUpEndpoint settingsTakeUp_;
};

}  // namespace hbt
