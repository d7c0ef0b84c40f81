#pragma once
// The crash handler. On SIGSEGV, SIGBUS, SIGILL, SIGFPE or SIGABRT it writes
// one dump file, $TMPDIR/Harbinet.dmp (/tmp/ without TMPDIR): the signal, the
// faulting address, the thread, a backtrace and the memory map, and with the
// big dump also the contents of every readable private writable mapping.
// Then it runs this program again as `PROGRAM --crash-report PATH STATUS` to
// tell the user, waits for it, and ends the process. When several threads
// crash, the first reports and the others wait for the end.
#include <string>

namespace hbt {

inline constexpr char kCrashReportOption[] = "--crash-report";

// Installs the handlers and the alternate signal stack of the calling thread;
// meant for static initialisation, before the application object and any
// other thread exist. `programVersion` (a literal) goes into every dump.
// False when the handlers could not be set.
bool InstallCrashHandler(const char* programVersion);
// The system's handling again: the reporter never reports a crash of its own
// over the one it shows.
void RemoveCrashHandler();
// Set once the preferences are known; until then the dump is the small one.
void SetBigCrashDump(bool big);

// What the STATUS argument tells the reporter.
enum class CrashDumpOutcome { kSaved, kNotCreated, kNotSaved };
struct CrashDumpStatus {
    CrashDumpOutcome outcome = CrashDumpOutcome::kSaved;
    int error = 0;  // errno of the failed step
};
// The words the handler writes: "saved", "not-created:ERRNO", "not-saved:ERRNO".
inline constexpr char kCrashStatusSaved[] = "saved";
inline constexpr char kCrashStatusNotCreated[] = "not-created:";
inline constexpr char kCrashStatusNotSaved[] = "not-saved:";
// False for any other word.
bool ParseCrashDumpStatus(const std::string& word, CrashDumpStatus& status);

}  // namespace hbt
