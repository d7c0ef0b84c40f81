// harbinet: the program. On this build it runs headless: the core without
// windows, log lines on standard output.
#include <cstring>
#include <iostream>
#include <string>

#include "core/hbt_core.h"
#include "ui/headless_runner.h"

namespace {

void PrintUsage() {
    std::cerr << "usage: harbinet --headless\n"
                 "  Runs Harbinet without windows: log lines go to standard output, the preferences come\n"
                 "  from the settings file, SIGINT/SIGTERM stop it, SIGUSR1 writes the statistics.\n";
}

}  // namespace

int main(int argc, char** argv) {
    bool headless = false;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--headless") {
            headless = true;
        } else if (argument == "--help" || argument == "-h") {
            PrintUsage();
            return 0;
        } else if (argument != "aut" && argument != "showprefwnd" && argument != "showlogwnd") {
            std::cerr << "harbinet: unknown argument '" << argument << "'\n";
            PrintUsage();
            return 2;
        }
    }
    if (!headless) {
        std::cerr << "harbinet: this build has no tray interface; run it with --headless\n";
        return 2;
    }
    hbt::HeadlessRunner::BlockSignals();
    hbt::CHbtCore core;
    hbt::HeadlessRunner runner(std::cout);
    return runner.Run(core);
}
