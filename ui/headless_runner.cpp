#include "ui/headless_runner.h"

#include <pthread.h>
#include <signal.h>

#include <future>
#include <ostream>
#include <utility>

#include "core/hbt_core.h"
#include "log/log.h"
#include "log/log_file_sink.h"
#include "log/log_queue.h"
#include "log/log_sink.h"
#include "platform/file_settings_store.h"
#include "text/text_conversion.h"
#include "ui/settings_take_up_service.h"
#include "ui/statistics_text.h"

namespace hbt {

namespace {

sigset_t HandledSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGUSR1);
    sigaddset(&set, SIGHUP);
    return set;
}

// Standard output takes what the log window would show, in the file's line
// format; the journal stamps lines itself, so they go there without our time.
class StandardOutputSink : public LogSink {
public:
    StandardOutputSink(std::ostream& out, bool stampLines) : out_(out), stampLines_(stampLines) {}
    bool Admits(const LogRecord& record) const override { return record.toScreen; }
    void Write(const LogRecord& record) override {
        out_ << (stampLines_ ? FormatFileLine(record, record.screenPrefix, record.time)
                             : FormatLineText(record, record.screenPrefix))
             << "\n";
    }
    void EndBatch() override { out_.flush(); }

private:
    std::ostream& out_;
    bool stampLines_;
};

}  // namespace

HeadlessRunner::HeadlessRunner(std::ostream& out, bool toJournal) : out_(out), toJournal_(toJournal) {}

void HeadlessRunner::BlockSignals() {
    sigset_t set = HandledSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

int HeadlessRunner::Run(CHbtCore& core) {
    uiThread_ = std::this_thread::get_id();
    LogQueue::Instance().RegisterReceiver([this] {
        std::lock_guard lock(mutex_);
        logPending_ = true;
        wake_.notify_one();
    });
    {
        std::lock_guard lock(mutex_);
        serving_ = true;
    }
    std::thread signals([this] { WaitForSignals(); });
    SettingsTakeUpEndpoint settingsTakeUp;
    OpenSettingsTakeUp(settingsTakeUp, core, *this, DefaultSettingsPath());
    core.SetUserInterface(this);
    core.Start();
    ServeUntilStopped(core);
    std::deque<std::function<void()>> leftover;
    {
        std::lock_guard lock(mutex_);
        serving_ = false;
        leftover.swap(actions_);
    }
    // A thread may have handed over an action just before the loop ended; it waits for it.
    for (auto& action : leftover) action();
    settingsTakeUp.Close();
    core.Stop();
    WriteStatistics(core);
    DrainLog();
    LogQueue::Instance().ClearReceiver();
    // The signal thread waits for one more signal; this one ends it.
    pthread_kill(signals.native_handle(), SIGUSR1);
    signals.join();
    std::lock_guard lock(mutex_);
    return exitStatus_;
}

void HeadlessRunner::WaitForSignals() {
    const sigset_t set = HandledSignals();
    for (;;) {
        int signal = 0;
        if (sigwait(&set, &signal) != 0) continue;
        std::lock_guard lock(mutex_);
        if (!serving_) return;
        if (signal == SIGUSR1) {
            statisticsRequested_ = true;
        } else if (signal == SIGHUP) {
            takeUpRequested_ = true;
        } else {
            stopRequested_ = true;
        }
        wake_.notify_one();
    }
}

void HeadlessRunner::ServeUntilStopped(CHbtCore& core) {
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] {
            return logPending_ || stopRequested_ || statisticsRequested_ || takeUpRequested_ || !actions_.empty();
        });
        std::deque<std::function<void()>> actions;
        actions.swap(actions_);
        const bool drain = std::exchange(logPending_, false);
        const bool statistics = std::exchange(statisticsRequested_, false);
        const bool takeUp = std::exchange(takeUpRequested_, false);
        const bool stop = stopRequested_;
        lock.unlock();
        for (auto& action : actions) action();
        if (takeUp) core.TakeUpStoredPreferences();
        if (statistics) WriteStatistics(core);
        if (drain) DrainLog();
        if (stop) return;
        lock.lock();
    }
}

void HeadlessRunner::DrainLog() {
    static LogFileSink fileSink;
    StandardOutputSink standardOutput(out_, !toJournal_);
    DrainLogQueue({&standardOutput, &fileSink});
}

void HeadlessRunner::WriteStatistics(CHbtCore& core) {
    CLog(kLogAlways) << StatisticsBoxText(ComputeStatisticsFigures(core.Statistics()));
}

void HeadlessRunner::RequestStop() {
    std::lock_guard lock(mutex_);
    stopRequested_ = true;
    wake_.notify_one();
}

void HeadlessRunner::RequestStatistics() {
    std::lock_guard lock(mutex_);
    statisticsRequested_ = true;
    wake_.notify_one();
}

void HeadlessRunner::RunOnUiThread(const std::function<void()>& action) {
    std::unique_lock lock(mutex_);
    // Past the loop (during the stop) nothing serves the queue: run it here.
    if (std::this_thread::get_id() == uiThread_ || !serving_) {
        lock.unlock();
        action();
        return;
    }
    std::promise<void> done;
    actions_.push_back([&] {
        action();
        done.set_value();
    });
    wake_.notify_one();
    lock.unlock();
    done.get_future().wait();
}

void HeadlessRunner::Finish(int status) {
    std::lock_guard lock(mutex_);
    if (exitStatus_ == kExitOk) exitStatus_ = status;
    stopRequested_ = true;
    wake_.notify_one();
}

void HeadlessRunner::EngineUnavailable() { Finish(kExitEngineUnavailable); }

void HeadlessRunner::ShowError(const std::wstring& caption, const std::wstring& text) {
    CLog(kLogError) << caption << L": " << text;
}

void HeadlessRunner::ShowFatalError(const std::wstring&) {
    // The report's lines are already in the log, which goes to standard output.
    Finish(kExitFatalError);
}

}  // namespace hbt
