#include "ui/harbinet_app.h"

#include <QMessageBox>

#include <algorithm>
#include <chrono>
#include <thread>

#include "log/log.h"
#include "platform/file_settings_store.h"
#include "text/text_conversion.h"
#include "ui/balloon_offer.h"
#include "ui/dispatcher.h"
#include "ui/display_state_watch.h"
#include "ui/core_message_boxes.h"
#include "ui/log_drain.h"
#include "ui/log_window.h"
#include "ui/preferences_dialog.h"
#include "ui/settings_take_up_service.h"
#include "ui/statistics_displays.h"
#include "ui/tray_icon.h"
#include "ui/tray_menu.h"
#include "ui/update_verdict_box.h"

namespace hbt {

namespace {

constexpr int kPreferenceChecks = 50;
constexpr auto kPreferenceCheckInterval = std::chrono::milliseconds(100);

void ShowMessage(const QString& text, QMessageBox::Icon icon = QMessageBox::NoIcon) {
    QMessageBox box(icon, QStringLiteral("Harbinet"), text);
    box.exec();
}

void BringToFront(QWidget& window) {
    if (window.isMinimized()) window.showNormal();
    window.show();
    QWidget* popup = QApplication::activeModalWidget();
    QWidget& front = popup != nullptr ? *popup : window;
    front.raise();
    front.activateWindow();
}

std::string Lowered(const std::vector<std::string>& words) {
    std::string line;
    for (const std::string& word : words) line += word + " ";
    std::transform(line.begin(), line.end(), line.begin(), [](unsigned char c) { return std::tolower(c); });
    return line;
}

}  // namespace

CHarbinetApp::CHarbinetApp(std::string programPath)
    : settings_(std::make_shared<FileSettingsStore>(DefaultSettingsPath())),
      autorun_(AutorunRecord::DefaultFolder(), std::move(programPath)) {}

CHarbinetApp::~CHarbinetApp() = default;

bool CHarbinetApp::TakeSingleInstance() {
    switch (AskRunningInstanceToShow(DispatcherServerPath())) {
        case RunningInstance::Shown: return false;
        case RunningInstance::Refused:
            ShowMessage(QStringLiteral("Another copy of Harbinet is already running."));
            return false;
        case RunningInstance::None: break;
    }
    if (!machineLock_.Acquire(MachineLock::DefaultPath())) {
        ShowMessage(QStringLiteral("Another instance of Harbinet is already running."));
        return false;
    }
    return true;
}

int CHarbinetApp::Run(const std::vector<std::string>& words) {
    if (!TakeSingleInstance()) return 0;
    QApplication::setQuitOnLastWindowClosed(false);
    dispatcher_ = std::make_unique<CDispatcher>();
    instanceServer_ = std::make_unique<InstanceServer>([this] {
        ShowMainDialog();
        return true;
    });
    if (!instanceServer_->Listen(DispatcherServerPath())) {
        ShowMessage(QStringLiteral("Could not register Harbinet Window class."), QMessageBox::Critical);
        return 1;
    }
    CreateWindows();
    if (!tray_->Add(core_.PreferencesSnapshot()->enabled)) {
        // Without a tray the program still runs; the log says why nothing shows.
        CLog(kLogError) << "Cannot display System Tray icon error = " << 0;
    }
    QueryAutorun();
    core_.SetSettingsStore(settings_);
    core_.SetUserInterface(this);
    OpenSettingsTakeUp(settingsTakeUp_, core_, *this, settings_->Path());
    core_.Start();
    WaitForPreferences();
    const std::string line = Lowered(words);
    if (line.find("showprefwnd") != std::string::npos) ShowMainDialog();
    if (line.find("showlogwnd") != std::string::npos) ShowLogWindow();
    displayState_ = std::make_unique<DisplayStateWatch>(core_);

    QApplication::exec();
    Exit();
    return 0;
}

void CHarbinetApp::CreateWindows() {
    dialog_ = std::make_unique<CPreferencesDlg>(core_, *this);
    logWindow_ = std::make_unique<CLogWindow>(core_, *this);
    logDrain_ = std::make_unique<LogDrain>(*dispatcher_, std::vector<LogSink*>{logWindow_.get(), &fileSink_},
                                           [this] { RefreshStatisticsLinks(core_.Statistics(), *dialog_, *logWindow_); });
    tray_ = std::make_unique<CTrayIcon>([this] { return *core_.PreferencesSnapshot(); });
    QObject::connect(tray_.get(), &CTrayIcon::command, tray_.get(), [this](int id) { OnTrayCommand(id); });
    QObject::connect(tray_.get(), &CTrayIcon::leftClicked, tray_.get(), [this] { ShowMainDialog(); });
}

void CHarbinetApp::QueryAutorun() {
    bool rewriteFailed = false;
    autorunEnabled_ = autorun_.TakeUpAtStart(rewriteFailed);
    if (rewriteFailed) {
        ShowMessage(QStringLiteral("Cannot update Harbinet autorun record in the system registry.\nError: ") +
                    QString::fromStdWString(autorun_.LastError()));
    }
}

void CHarbinetApp::WaitForPreferences() {
    for (int i = 0; i < kPreferenceChecks && !core_.PreferencesLoaded(); ++i) {
        std::this_thread::sleep_for(kPreferenceCheckInterval);
    }
}

void CHarbinetApp::ShowMainDialog() {
    dialog_->LoadFromCore();
    BringToFront(*dialog_);
}

void CHarbinetApp::ShowLogWindow() { BringToFront(*logWindow_); }

void CHarbinetApp::OnTrayCommand(int command) {
    if (command == kTrayShowLog) return ShowLogWindow();
    if (command == kTraySettings) {
        ShowMainDialog();
        return;
    }
    if (command == kTrayExit) return QApplication::quit();
    Preferences changed = *core_.PreferencesSnapshot();
    if (!ApplyModeCommand(command, changed)) return;
    core_.ApplyPreferences(changed, CHbtCore::kApplyAndSave);
    RefreshTrayAndDialog();
}

void CHarbinetApp::RefreshTrayAndDialog() {
    dispatcher_->Post([this] { RefreshOnUiThread(); });
}

void CHarbinetApp::RefreshOnUiThread() {
    if (!tray_) return;
    const bool wasShown = tray_->Shown();
    tray_->Remove();
    if (wasShown) tray_->Add(core_.PreferencesSnapshot()->enabled);
    dialog_->RefreshFromCore();
}

bool CHarbinetApp::SetAutorun(bool on) {
    const bool before = autorunEnabled_;
    autorunEnabled_ = on;
    if (!autorun_.Set(on)) {
        ShowMessage(QStringLiteral("Cannot update Harbinet autorun record in the system registry.\nError: ") +
                    QString::fromStdWString(autorun_.LastError()));
        autorunEnabled_ = before;
    }
    return autorunEnabled_;
}

void CHarbinetApp::ShowMinimizedBalloon() {
    if (!OfferStillRunningBalloon(core_, dialog_->isVisible() && logWindow_->isVisible())) return;
    if (tray_->Shown()) {
        tray_->ShowBalloon(QString::fromStdWString(kBalloonTitle), QString::fromStdWString(kBalloonText));
    }
}

void CHarbinetApp::RunOnUiThread(const std::function<void()>& action) { dispatcher_->Send(action); }

void CHarbinetApp::EngineUnavailable() { ShowLogWindow(); }

void CHarbinetApp::ShowFatalError(const std::wstring& text) {
    ShowLogWindow();
    QMessageBox box(QMessageBox::Critical, QStringLiteral("Harbinet"), QString::fromStdWString(text));
    box.setWindowFlag(Qt::WindowStaysOnTopHint);
    box.exec();
}

void CHarbinetApp::ReportUpdateVerdict(const UpdateVerdict& verdict) {
    dispatcher_->Send([this, &verdict] {
        if (exiting_) return;  // the exit runs what is still queued, possibly on this thread
        ShowLogWindow();
        ShowUpdateVerdict(verdict, core_, *settings_, logWindow_.get());
    });
}

bool CHarbinetApp::AskYesNo(const std::wstring& caption, const std::wstring& text) {
    // Only the log window's links ask.
    return AskYesNoBox(logWindow_.get(), caption, text);
}

void CHarbinetApp::ShowError(const std::wstring& caption, const std::wstring& text) {
    ShowErrorBox(logWindow_.get(), caption, text);
}

void CHarbinetApp::ExitProgram() { QApplication::quit(); }

void CHarbinetApp::Exit() {
    exiting_ = true;
    tray_->Remove();
    // Threads of the core that ask for the GUI thread from now on run their actions themselves.
    dispatcher_->StopServing();
    settingsTakeUp_.Close();
    core_.Stop();
    logDrain_->Drain();
    logDrain_.reset();
    displayState_.reset();
    dialog_.reset();
    logWindow_.reset();
    tray_.reset();
}

}  // namespace hbt
