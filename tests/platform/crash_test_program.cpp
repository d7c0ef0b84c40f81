// Installs the crash handler as harbinet does and crashes on purpose:
//   crash_test_program segv|abort|two-threads|marked-block|big-marked-block|file-limit
// The handler starts it again as `crash_test_program --crash-report PATH STATUS`;
// it then appends "PATH STATUS" to the file that HBT_CRASH_REPORTS names.
#include <signal.h>
#include <sys/resource.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <latch>
#include <string>
#include <thread>

#include "platform/crash_handler.h"

// Outside the unnamed namespace so that the backtrace can name it.
[[gnu::noinline]] void CrashOnPurpose() {
    volatile int* volatile nowhere = nullptr;
    *nowhere = 1;
}

namespace {

[[maybe_unused]] const bool crashHandlerInstalled = hbt::InstallCrashHandler("test");

constexpr char kMarker[] = "HBT-MARKED-HEAP-BLOCK-";
constexpr std::size_t kMarkedBlockSize = 8 << 20;
char* volatile markedBlock = nullptr;

void MarkHeapBlock() {
    markedBlock = new char[kMarkedBlockSize];
    for (std::size_t at = 0; at + sizeof kMarker <= kMarkedBlockSize; at += sizeof kMarker - 1) {
        std::memcpy(markedBlock + at, kMarker, sizeof kMarker - 1);
    }
}

void CrashInTwoThreadsAtOnce() {
    std::latch ready(2);
    auto crash = [&] {
        ready.arrive_and_wait();
        CrashOnPurpose();
    };
    std::thread first(crash);
    std::thread second(crash);
    first.join();
    second.join();
}

int Report(const char* path, const char* status) {
    // A file-size limit set for the crash must not cut this line short.
    rlimit limit{};
    getrlimit(RLIMIT_FSIZE, &limit);
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_FSIZE, &limit);
    std::ofstream(std::getenv("HBT_CRASH_REPORTS"), std::ios::app) << path << " " << status << "\n";
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], hbt::kCrashReportOption) == 0) return Report(argv[2], argv[3]);
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "abort") std::abort();
    if (mode == "two-threads") CrashInTwoThreadsAtOnce();
    if (mode == "marked-block" || mode == "big-marked-block") MarkHeapBlock();
    if (mode == "big-marked-block") hbt::SetBigCrashDump(true);
    if (mode == "file-limit") {
        signal(SIGXFSZ, SIG_IGN);
        rlimit limit{};
        getrlimit(RLIMIT_FSIZE, &limit);
        limit.rlim_cur = 64;
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    CrashOnPurpose();
    return 1;
}
