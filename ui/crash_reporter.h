#pragma once
// `harbinet --crash-report PATH STATUS`, started by the crash handler of a
// Harbinet that crashed: selects the dump in the file manager when it was
// saved and shows the crash message box. Without a display the message goes
// to standard error.
namespace hbt {

// argv[2] is the dump's path, argv[3] the handler's status word. Returns the exit status.
int RunCrashReporter(int argc, char** argv, bool hasDisplay);

}  // namespace hbt
