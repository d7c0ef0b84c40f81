// How long the log window takes to take in 100 000 lines arriving as fast as
// the log queue lets them (batches of its 1000 records, each drained into the
// window, the event loop laying out and painting between batches), the
// longest the GUI thread was held by one batch, and the resident memory
// afterwards. Runs on the offscreen platform unless QT_QPA_PLATFORM says otherwise.
#include <sys/resource.h>

#include <QApplication>
#include <QScrollBar>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/hbt_core.h"
#include "log/log.h"
#include "log/log_queue.h"
#include "log/log_settings.h"
#include "ui/desktop_shell.h"
#include "ui/log_view.h"
#include "ui/log_window.h"
#include "bench/resident_memory.h"

namespace {

using Clock = std::chrono::steady_clock;

class IdleShell : public hbt::DesktopShell {
public:
    void RefreshTrayAndDialog() override {}
    void ShowLogWindow() override {}
    void ShowMainDialog() override {}
    void ExitProgram() override {}
    bool AutorunEnabled() const override { return false; }
    bool SetAutorun(bool on) override { return on; }
    void ShowMinimizedBalloon() override {}
};

double ResidentMiB() {
    const long kib = hbt::bench::ResidentKiB();
    return kib < 0 ? -1 : kib / 1024.0;
}

// Processor time of the whole process so far; on a shared machine the wall clock says less.
double ProcessorMilliseconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
}

double Milliseconds(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// One batch as a full queue hands it over: a line of a connection with its
// application and host links, as the HTTP handling writes it.
void QueueBatch(int first) {
    for (int i = first; i < first + static_cast<int>(hbt::LogQueue::kCapacity); ++i) {
        const std::string host = "www.host" + std::to_string(i % 5000) + ".example";
        hbt::CLog(hbt::kLogNormal, 4711, L"/usr/lib/firefox/firefox-bin")
            << "93.184.216.34:80 Enforce HTTPS for " << hbt::LogUrl{"hbturl", host, "", "", 0};
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    const int lines = argc > 1 ? std::atoi(argv[1]) : 100000;
    hbt::CHbtCore core;
    IdleShell shell;
    hbt::CLogWindow window(core, shell);
    window.resize(900, 500);
    window.show();
    QApplication::processEvents();
    hbt::SetScreenLogLevel(hbt::kLogNormal);
    hbt::SetFileLogLevel(0);
    hbt::LogQueue::Instance().RegisterReceiver([] {});
    const double residentBefore = ResidentMiB();

    Clock::duration longest{};
    const double processorStart = ProcessorMilliseconds();
    const auto start = Clock::now();
    for (int first = 0; first < lines; first += static_cast<int>(hbt::LogQueue::kCapacity)) {
        const auto batchStart = Clock::now();
        QueueBatch(first);
        hbt::DrainLogQueue({&window});
        QApplication::processEvents();
        longest = std::max(longest, Clock::now() - batchStart);
    }
    // Whatever layout is left, and the view at its bottom, painted.
    auto* view = window.findChild<hbt::CLogView*>();
    QScrollBar* bar = view->verticalScrollBar();
    const auto giveUp = Clock::now() + std::chrono::seconds(30);
    while (bar->value() != bar->maximum() && Clock::now() < giveUp) QApplication::processEvents();
    view->viewport()->repaint();
    const auto total = Clock::now() - start;
    const double processor = ProcessorMilliseconds() - processorStart;

    std::printf("%d lines into the log window in %.0f ms (%.0f lines/s; %.0f ms of processor time); longest batch "
                "of %zu lines %.1f ms; view holds %d lines\n",
                lines, Milliseconds(total), lines / std::chrono::duration<double>(total).count(), processor,
                hbt::LogQueue::kCapacity, Milliseconds(longest), view->document()->blockCount());
    std::printf("resident memory: %.1f MiB after (%.1f MiB with the empty window)\n", ResidentMiB(), residentBefore);
    hbt::LogQueue::Instance().ClearReceiver();
    return 0;
}
