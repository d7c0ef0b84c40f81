#pragma once
// Runs the core without windows: the calling thread plays the interface
// thread, log lines go to standard output in the file's line format, SIGINT
// and SIGTERM stop the program in order, SIGUSR1 writes the statistics, and
// SIGHUP (like a request from hbtctl) takes up a changed settings file.
#include <condition_variable>
#include <deque>
#include <functional>
#include <iosfwd>
#include <mutex>
#include <thread>

#include "core/core_user_interface.h"

namespace hbt {

class CHbtCore;

// Exit statuses of the headless program.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFatalError = 1;
inline constexpr int kExitEngineUnavailable = 2;

class HeadlessRunner : public CoreUserInterface {
public:
    // `toJournal`: `out` goes to the systemd journal, which stamps the lines.
    HeadlessRunner(std::ostream& out, bool toJournal);

    // Blocks SIGINT, SIGTERM, SIGUSR1 and SIGHUP in the calling thread; call before
    // any other thread starts so that every thread inherits the mask.
    static void BlockSignals();

    // Starts the core and serves it until a stop signal or a failed start-up;
    // returns the exit status.
    int Run(CHbtCore& core);

    // Asks the running loop to stop (as SIGTERM does) or to write the statistics (as SIGUSR1).
    void RequestStop();
    void RequestStatistics();

    // CoreUserInterface
    void RefreshTrayAndDialog() override {}
    void RunOnUiThread(const std::function<void()>& action) override;
    void EngineUnavailable() override;
    void ShowFatalError(const std::wstring& text) override;
    // The check's own log lines are the whole report here.
    void ReportUpdateVerdict(const UpdateVerdict&) override {}
    // Without windows no link is ever clicked; were a box asked for, nobody answers it.
    bool AskYesNo(const std::wstring&, const std::wstring&) override { return false; }
    void ShowError(const std::wstring& caption, const std::wstring& text) override;

private:
    void WaitForSignals();
    void ServeUntilStopped(CHbtCore& core);
    void DrainLog();
    void WriteStatistics(CHbtCore& core);
    void Finish(int status);

    std::ostream& out_;
    const bool toJournal_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> actions_;
    bool logPending_ = false;
    bool stopRequested_ = false;
    bool statisticsRequested_ = false;
    bool takeUpRequested_ = false;
    bool serving_ = false;
    int exitStatus_ = kExitOk;
    std::thread::id uiThread_;
};

}  // namespace hbt
