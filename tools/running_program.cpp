#include "tools/running_program.h"

#include <chrono>
#include <cstdio>

namespace hbt::ctl {
namespace {

// How long a running program has to take a change up before hbtctl stops waiting.
constexpr std::chrono::seconds kTakeUpWait{10};

}  // namespace

TakeUpAnswer AskRunningProgram(const std::string& settingsPath) {
    return AskProgramToTakeUp(settingsPath, kTakeUpWait);
}

void TellRunningProgram(const std::string& settingsPath) {
    const TakeUpAnswer answer = AskRunningProgram(settingsPath);
    switch (answer.kind) {
        case TakeUpAnswer::Kind::kNoProgram:
            std::printf("hbtctl: stored; no running Harbinet program reads this settings file, so the change "
                        "applies when Harbinet starts\n");
            break;
        case TakeUpAnswer::Kind::kTakenUp:
            std::printf("hbtctl: stored; the running Harbinet program (pid %d) took the change up\n",
                        static_cast<int>(answer.pid));
            break;
        case TakeUpAnswer::Kind::kNoAnswer:
            std::printf("hbtctl: stored; the running Harbinet program did not confirm that it took the change up, "
                        "so it may apply only when Harbinet starts again\n");
            break;
    }
}

}  // namespace hbt::ctl
