// harbinet: the program. Without --headless it is the desktop program in the
// tray; with it, the core runs without windows and logs to standard output.
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>

#include "core/hbt_core.h"
#include "platform/crash_handler.h"
#include "platform/journal_stream.h"
#include "ui/crash_reporter.h"
#include "ui/desktop_main.h"
#include "ui/headless_runner.h"
#include "update/version.h"
#include "update/version_line.h"

namespace {

// Before the application object and every other thread.
[[maybe_unused]] const bool crashHandlerInstalled = hbt::InstallCrashHandler(hbt::kFullVersion);

void PrintUsage(std::ostream& out) {
    out << "usage: harbinet [showprefwnd] [showlogwnd]\n"
           "  Starts Harbinet in the tray; the words show the main dialog or the log window at once.\n"
           "usage: harbinet --headless\n"
           "  Runs Harbinet without windows: log lines go to standard output, the preferences come\n"
           "  from the settings file, SIGINT/SIGTERM stop it, SIGUSR1 writes the statistics, SIGHUP\n"
           "  takes up a changed settings file.\n"
           "usage: harbinet --help | --version\n";
}

// --help and --version are answered before anything starts.
std::optional<int> AnswerHelpOrVersion(int argc, char** argv) {
    if (argc != 2) return std::nullopt;
    const std::string argument = argv[1];
    if (argument == "--help" || argument == "-h") {
        PrintUsage(std::cout);
        return 0;
    }
    if (argument == "--version") {
        std::cout << hbt::VersionLine("harbinet") << "\n";
        return 0;
    }
    return std::nullopt;
}

// Whether a window system is there to show the tray program on.
bool HasDisplay() {
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        const char* value = std::getenv(name);
        if (value != nullptr && *value != '\0') return true;
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], hbt::kCrashReportOption) == 0) {
        hbt::RemoveCrashHandler();
        return hbt::RunCrashReporter(argc, argv, HasDisplay());
    }
    if (const std::optional<int> answered = AnswerHelpOrVersion(argc, argv)) return *answered;
    bool headless = false;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--headless") {
            headless = true;
        } else if (argument != "aut" && argument != "showprefwnd" && argument != "showlogwnd") {
            std::cerr << "harbinet: unknown argument '" << argument << "'\n";
            PrintUsage(std::cerr);
            return 2;
        }
    }
    if (!headless && !HasDisplay()) {
        std::cerr << "harbinet: no display to show the tray program on; run it with --headless\n";
        return 2;
    }
    if (!headless) return hbt::RunDesktopProgram(argc, argv);
    hbt::HeadlessRunner::BlockSignals();
    hbt::CHbtCore core;
    hbt::HeadlessRunner runner(std::cout, hbt::StreamIsJournal(STDOUT_FILENO));
    return runner.Run(core);
}
