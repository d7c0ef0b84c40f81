#include "tests/ui/log_gallery.h"

#include <QApplication>
#include <QDir>

#include "core/hbt_core.h"
#include "http/page_parts.h"
#include "log/log.h"
#include "log/log_queue.h"
#include "tests/ui/fake_shell.h"
#include "ui/core_message_boxes.h"
#include "ui/log_window.h"
#include "ui/statistics_displays.h"
#include "ui/statistics_text.h"
#include "update/version.h"

namespace hbt {

namespace {

// The boxes as the desktop program shows them; nothing else is asked for here.
class BoxesOnly : public CoreUserInterface {
public:
    void RefreshTrayAndDialog() override {}
    void RunOnUiThread(const std::function<void()>& action) override { action(); }
    void EngineUnavailable() override {}
    void ShowFatalError(const std::wstring&) override {}
    void ReportUpdateVerdict(const UpdateVerdict&) override {}
    bool AskYesNo(const std::wstring& caption, const std::wstring& text) override {
        return AskYesNoBox(nullptr, caption, text);
    }
    void ShowError(const std::wstring& caption, const std::wstring& text) override {
        ShowErrorBox(nullptr, caption, text);
    }
};

LogUrl HostLink(const char* host, const char* prefix = "", const char* suffix = "") {
    return LogUrl{"hbturl", host, prefix, suffix, 0};
}

// The lines as the program writes them.
void WriteLines() {
    LogQueue::Instance().RegisterReceiver([] {});
    const wchar_t* firefox = L"/usr/lib/firefox/firefox-bin";
    const wchar_t* thunderbird = L"/usr/lib/thunderbird/thunderbird";
    CLog(kLogAlways) << "";
    CLog(kLogAlways) << "\t\tWelcome to Harbinet " << VersionBannerText();
    CLog(kLogAlways) << "\t\tInfo and updates: " << LogUrl{"https", kVendorWebSiteHost, "", "", 0};
    CLog(kLogAlways) << "";
    CLog(kLogNormal) << "Network Engine started.";
    CLog(kLogAlways) << "Harbinet switched ON";
    CLog(kLogVerbose, 4711, firefox) << HostLink("www.example.org") << " - checking HTTPS availability.";
    CLog(kLogVerbose, 4711, firefox) << HostLink("www.example.org") << " - HTTPS is available";
    CLog(kLogNormal, 4711, firefox) << "93.184.216.34:80 Enforce HTTPS for " << HostLink("www.example.org");
    CLog(kLogNormal, 5120, L"/usr/bin/curl") << "198.51.100.7:80 Request user action for "
                                            << HostLink("plain.example.net");
    CLog(kLogNormal, 3301, thunderbird) << "203.0.113.25:443" << HostLink("mail.example.com", " (", ")")
                                        << " (block: TLS 1.0 is not allowed)";
    CLog(kLogError, 5120, L"/usr/bin/curl")
        << "198.51.100.7:80 Connection limit hit. The problem is likely caused by an infinite loop connection";
    CLog(kLogAlways) << "Harbinet switched OFF";
}

void FillStatistics(HbtStatistics& s) {
    s.connectRequests = 1284;
    s.connectionsToProxy = 211;
    s.flowsInspected = 903;
    s.tlsFlowsBlocked = 4;
    s.http.httpUserActionRequests = 9;
    s.http.httpRedirects = 163;
    s.http.httpLoopReports = 1;
}

int ShowWindow(CHbtCore& core) {
    test::FakeShell shell;
    CLogWindow window(core, shell);
    WriteLines();
    DrainLogQueue({&window});
    const StatisticsFigures figures = ComputeStatisticsFigures(core.Statistics());
    window.SetStatistics(figures.total, figures.secured);
    window.resize(900, 420);
    window.show();
    return QApplication::exec();
}

}  // namespace

std::optional<int> ShowLogScene(const std::string& what) {
    CHbtCore core;
    Preferences levels;
    levels.logLevel = kLogVerbose;
    levels.logFileLevel = kLogNormal;
    levels.logPath = QDir::tempPath().toStdWString() + L"/harbinet-gallery-log";
    core.ApplyPreferences(levels, CHbtCore::kApplyOnly);
    FillStatistics(core.Statistics());
    BoxesOnly boxes;
    core.SetUserInterface(&boxes);
    if (what == "log-window") return ShowWindow(core);
    if (what == "statistics") {
        ShowStatisticsBox(core.Statistics(), nullptr);
        return 0;
    }
    if (what == "host-prompt") return core.PromptHostExclusion("www.example.org") ? 0 : 1;
    if (what == "app-prompt") return core.PromptApplicationExclusion("firefox-bin") ? 0 : 1;
    return std::nullopt;
}

}  // namespace hbt
