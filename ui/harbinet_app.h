#pragma once
// CHarbinetApp: the desktop program. One instance per computer; it starts the
// core, lives in the tray, turns each mode command into a preferences change
// through ApplyPreferences, and stops everything in order on exit.
#include <QApplication>

#include <atomic>
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
class CLogWindow;
class LogDrain;

class CHarbinetApp : public CoreUserInterface, public DesktopShell {
public:
    explicit CHarbinetApp(std::string programPath);
    ~CHarbinetApp() override;

    // Start-up, the event loop and the exit; returns the exit status.
    int Run(const std::vector<std::string>& words);

    // DesktopShell (and the core's refresh)
    void RefreshTrayAndDialog() override;
    void ShowLogWindow() override;
    void ShowMainDialog() override;
    void ExitProgram() override;
    bool AutorunEnabled() const override { return autorunEnabled_; }
    bool SetAutorun(bool on) override;
    void ShowMinimizedBalloon() override;

    // CoreUserInterface
    void RunOnUiThread(const std::function<void()>& action) override;
    void EngineUnavailable() override;
    void ShowFatalError(const std::wstring& text) override;
    void ReportUpdateVerdict(const UpdateVerdict& verdict) override;
    bool AskYesNo(const std::wstring& caption, const std::wstring& text) override;
    void ShowError(const std::wstring& caption, const std::wstring& text) override;

private:
    bool TakeSingleInstance();
    void CreateWindows();
    void QueryAutorun();
    void WaitForPreferences();
    void OnTrayCommand(int command);
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
    std::unique_ptr<CLogWindow> logWindow_;
    std::unique_ptr<LogDrain> logDrain_;
    std::unique_ptr<CTrayIcon> tray_;
    std::unique_ptr<DisplayStateWatch> displayState_;
    std::atomic<bool> exiting_{false};  // from then on no box is shown
    SettingsTakeUpEndpoint settingsTakeUp_;
};

}  // namespace hbt
