// The core's start-up sequence, its fatal-error report, and the same sequence
// for an engine that died and came back.
#include <ctime>
#include <system_error>

#include "core/hbt_core.h"
#include "platform/safe_socket.h"
#include "engine_client/engine_event_loop.h"
#include "engine_client/nfe_device_client.h"
#include "http/page_parts.h"
#include "log/log.h"
#include "platform/crash_handler.h"
#include "platform/descriptor_limit.h"
#include "rules/preferences_storage.h"
#include "update/version.h"

namespace hbt {

void CHbtCore::Start() {
    // Each client connection holds a descriptor, two while it is forwarded:
    // take all the system allows, and let the proxy hold what fits in it.
    const uint64_t descriptors = RaiseDescriptorLimit();
    if (proxyCapacity_.Capacity() == 0) proxyCapacity_.SetCapacity(ProxyCapacityForDescriptors(descriptors));
    try {
        mainThread = std::thread([this] { RunMainThread(); });
    } catch (const std::system_error&) {
        CLog(kLogError) << "Could not create main thread";
    }
}

void CHbtCore::RunMainThread() {
    halted = true;
    Preferences local;
    {
        std::lock_guard edit(preferencesEditLock_);
        LoadPreferences(SettingsStoreForCore(), local);
        SetBigCrashDump(local.bigCrashDump);
        ApplyPreferences(local, kApplyOnly);
        RefreshUserInterface();
        preferencesLoaded = true;
    }
    WriteBanner();
    DecideUpdateCheck(local);

    if (!engineClient_->NfeOpenDevice()) {
        if (userInterface_) userInterface_->RunOnUiThread([this] { userInterface_->EngineUnavailable(); });
        return;
    }
    std::wstring fatalMessage;
    if (!OpenProxyListeners(fatalMessage)) return ReportFatalError(fatalMessage);
    if (!ConfigureAndStartEngine(fatalMessage)) return ReportFatalError(fatalMessage);
    engineEventThread = std::thread([this] { engineEventLoop_->Run(); });
    if (!OpenControlListener(fatalMessage)) return ReportFatalError(fatalMessage);
    try {
        controlThread_ = std::thread([this] { AcceptControlConnections(); });
    } catch (const std::system_error&) {
        CLog(kLogError) << "Could not create config accept thread";
    }

    SwitchOnAfterStartUp();

    std::thread ipv6AcceptThread;
    if (auto ipv6 = Ipv6Listener()) ipv6AcceptThread = std::thread([this, ipv6] { AcceptConnections(ipv6); });
    AcceptConnections(Ipv4Listener());
    if (ipv6AcceptThread.joinable()) ipv6AcceptThread.join();
    if (auto control = ControlListener()) control->Close();
    if (controlThread_.joinable()) controlThread_.join();
}

bool CHbtCore::ConfigureAndStartEngine(std::wstring& fatalMessage) {
    if (!PushRulesToEngine()) {
        fatalMessage = L"Could not set rules to kernel module.";
        return false;
    }
    const NfeDriverError started = engineClient_->Start();
    if (!started.Succeeded()) {
        CLog(kLogError) << "Start failed with error " << started.message;
        fatalMessage = L"NEStart failed.";
        return false;
    }
    return true;
}

void CHbtCore::SwitchOnAfterStartUp() {
    {
        std::lock_guard edit(preferencesEditLock_);
        std::lock_guard lock(engineStateLock_);
        if (engineLost_) {
            enabledBeforeHalt_ = true;  // lost since it started: on when it is back
        } else {
            halted = false;
            // The working record rather than the one loaded at the start: a
            // change taken up during start-up stays.
            Preferences working = *PreferencesSnapshot();
            working.enabled = true;
            ApplyPreferences(working, kApplyOnly);
        }
    }
    RefreshUserInterface();
}

void CHbtCore::HaltForLostEngine() {
    {
        std::lock_guard edit(preferencesEditLock_);
        std::lock_guard lock(engineStateLock_);
        Preferences working = *PreferencesSnapshot();
        engineLost_ = true;
        enabledBeforeHalt_ = working.enabled;
        halted = true;
        ApplyPreferences(working, kApplyOnly);  // switches the working record OFF
    }
    RefreshUserInterface();
}

bool CHbtCore::ReopenEngine() {
    std::wstring failure;  // the reasons are in the log; a failed attempt is retried, never fatal
    // Stop sets running before it closes an open device: whichever of the two
    // sees the other's change last closes this one.
    if (!engineClient_->NfeOpenDevice(AbsentEngineLog::kQuiet) || !ConfigureAndStartEngine(failure) ||
        !running.load()) {
        engineClient_->CloseDevice();
        return false;
    }
    {
        std::lock_guard edit(preferencesEditLock_);
        std::lock_guard lock(engineStateLock_);
        Preferences working = *PreferencesSnapshot();
        working.enabled = enabledBeforeHalt_;
        engineLost_ = false;
        halted = false;
        ApplyPreferences(working, kApplyOnly);
    }
    RefreshUserInterface();
    return true;
}

void CHbtCore::WriteBanner() {
    CLog(kLogAlways) << "";
    CLog(kLogAlways) << "\t\tWelcome to Harbinet " << VersionBannerText();  // "v" + version + " " + stage
    CLog(kLogAlways) << "\t\tInfo and updates: " << LogUrl{"https", kVendorWebSiteHost, "", "", 0};
    CLog(kLogAlways) << "";
}

void CHbtCore::DecideUpdateCheck(const Preferences& local) {
    const auto lastCheck = static_cast<uint32_t>(SettingsStoreForCore().GetInt(kSectionSettings, "lastUpdateCheck", 0));
    if (const auto silent = StartUpCheck(local.updatesCheck, lastCheck, std::time(nullptr))) StartUpdateCheck(*silent);
}

bool CHbtCore::StartUpdateCheck(bool silent) {
    return updateChecker_.Start(silent, SettingsStoreForCore(), [this](const UpdateVerdict& verdict) {
        if (userInterface_) userInterface_->ReportUpdateVerdict(verdict);
    });
}

void CHbtCore::ReportFatalError(const std::wstring& message) {
    halted = true;
    // A step that failed because Stop closed the device under it is no
    // start-up error: the program is ending as it was asked to.
    if (!running) return;
    const std::wstring lines[] = {
        L"Fatal Error:",
        L"",
        message,
        L"",
        L"Harbinet cannot start. You may need to reinstall the software and reboot.",
        L"If the problem persists - please contact " + std::wstring(kSupportAddress, kSupportAddress +
                                                                    sizeof(kSupportAddress) - 1) + L".",
    };
    std::wstring text;
    for (const std::wstring& line : lines) {
        CLog(kLogError) << line;
        text += line + L"\n";
    }
    if (userInterface_) userInterface_->RunOnUiThread([this, text] { userInterface_->ShowFatalError(text); });
}

void CHbtCore::RefreshUserInterface() {
    if (userInterface_) userInterface_->RefreshTrayAndDialog();
}

}  // namespace hbt
