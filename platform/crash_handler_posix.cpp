// Everything that runs inside the signal handler is async-signal-safe: system
// calls, fixed buffers prepared at installation, no allocation, no locks, no
// stdio. backtrace() is called once at installation so that its unwinder is
// loaded before a crash needs it.
#include "platform/crash_handler.h"

#include <execinfo.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace hbt {
namespace {

constexpr int kCrashSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};
constexpr char kDumpName[] = "Harbinet.dmp";
constexpr std::size_t kMemoryPiece = 1 << 20;

char g_dumpPath[PATH_MAX];
const char* g_version = "";
long g_pageSize = 4096;
std::atomic<bool> g_reporting{false};
std::atomic<bool> g_bigDump{false};
static_assert(std::atomic<bool>::is_always_lock_free);
alignas(64) unsigned char g_signalStack[256 * 1024];

// Output to the dump file. After the first failed write nothing more is
// written, and Error() says why.
class DumpFile {
public:
    explicit DumpFile(int fd) : fd_(fd) {}

    void Bytes(const void* data, std::size_t size) {
        const auto* at = static_cast<const char*>(data);
        while (size > 0 && error_ == 0) {
            const ssize_t n = ::write(fd_, at, size);
            if (n > 0) {
                at += n;
                size -= static_cast<std::size_t>(n);
            } else if (n < 0 && errno != EINTR) {
                error_ = errno;
            }
        }
    }
    void Text(const char* text) { Bytes(text, std::strlen(text)); }
    void Number(uint64_t value, unsigned base = 10) {
        char digits[24];
        int length = 0;
        do {
            digits[sizeof digits - 1 - length++] = "0123456789abcdef"[value % base];
            value /= base;
        } while (value != 0);
        if (base == 16) Text("0x");
        Bytes(digits + sizeof digits - length, static_cast<std::size_t>(length));
    }
    // Memory of this process. A page that cannot be read is left out; only
    // a failure of the file itself ends the dump.
    void Memory(uintptr_t start, uintptr_t end) {
        while (start < end && error_ == 0) {
            const std::size_t size = end - start < kMemoryPiece ? end - start : kMemoryPiece;
            const ssize_t n = ::write(fd_, reinterpret_cast<const void*>(start), size);
            if (n > 0) {
                start += static_cast<uintptr_t>(n);
            } else if (n < 0 && errno == EFAULT) {
                start = (start / g_pageSize + 1) * g_pageSize;
            } else if (n < 0 && errno != EINTR) {
                error_ = errno;
            }
        }
    }
    // A small file of the system (/proc), copied as it reads.
    void CopyOf(const char* path) {
        const int in = ::open(path, O_RDONLY | O_CLOEXEC);
        if (in < 0) return Text("(unreadable)\n");
        char buffer[4096];
        ssize_t n;
        while ((n = ::read(in, buffer, sizeof buffer)) > 0) Bytes(buffer, static_cast<std::size_t>(n));
        ::close(in);
    }
    int Error() const { return error_; }

private:
    int fd_;
    int error_ = 0;
};

const char* SignalName(int signal) {
    switch (signal) {
        case SIGSEGV: return "SIGSEGV";
        case SIGBUS: return "SIGBUS";
        case SIGILL: return "SIGILL";
        case SIGFPE: return "SIGFPE";
        case SIGABRT: return "SIGABRT";
    }
    return "?";
}

uintptr_t InstructionAddress(const void* context) {
    const auto* machine = &static_cast<const ucontext_t*>(context)->uc_mcontext;
#if defined(__x86_64__)
    return static_cast<uintptr_t>(machine->gregs[REG_RIP]);
#elif defined(__aarch64__)
    return static_cast<uintptr_t>(machine->pc);
#else
    (void)machine;
    return 0;
#endif
}

void WriteHead(DumpFile& dump, int signal, const siginfo_t* info, const void* context) {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    dump.Text("Harbinet crash dump\nversion ");
    dump.Text(g_version);
    dump.Text("\ntime ");
    dump.Number(static_cast<uint64_t>(now.tv_sec));
    dump.Text("\nsignal ");
    dump.Number(static_cast<uint64_t>(signal));
    dump.Text(" (");
    dump.Text(SignalName(signal));
    dump.Text("), code ");
    dump.Number(static_cast<uint64_t>(static_cast<uint32_t>(info->si_code)));
    dump.Text("\naddress ");
    dump.Number(reinterpret_cast<uintptr_t>(info->si_addr), 16);
    dump.Text("\ninstruction ");
    dump.Number(InstructionAddress(context), 16);
    dump.Text("\nprocess ");
    dump.Number(static_cast<uint64_t>(::getpid()));
    dump.Text("\nthread ");
    dump.Number(static_cast<uint64_t>(::syscall(SYS_gettid)));
    dump.Text(" ");
    dump.CopyOf("/proc/thread-self/comm");
}

void WriteBacktrace(DumpFile& dump, int fd) {
    dump.Text("\nbacktrace:\n");
    void* frames[128];
    const int count = ::backtrace(frames, 128);
    if (dump.Error() == 0) ::backtrace_symbols_fd(frames, count, fd);
}

uintptr_t ReadHex(const char*& at) {
    uintptr_t value = 0;
    for (;; ++at) {
        const char c = *at;
        if (c >= '0' && c <= '9') {
            value = value * 16 + static_cast<uintptr_t>(c - '0');
        } else if (c >= 'a' && c <= 'f') {
            value = value * 16 + static_cast<uintptr_t>(c - 'a' + 10);
        } else {
            return value;
        }
    }
}

// One line of /proc/self/maps ("start-end perms offset device inode path"):
// the region's contents when it is readable, writable and private.
void WriteRegionOf(DumpFile& dump, const char* line) {
    const char* at = line;
    const uintptr_t start = ReadHex(at);
    if (*at++ != '-') return;
    const uintptr_t end = ReadHex(at);
    if (*at++ != ' ' || std::strlen(at) < 4 || at[0] != 'r' || at[1] != 'w' || at[3] != 'p') return;
    dump.Text("\nregion ");
    dump.Text(line);
    dump.Text("\n");
    dump.Memory(start, end);
}

void WritePrivateMemory(DumpFile& dump) {
    dump.Text("\nmemory:");
    const int maps = ::open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
    if (maps < 0) return;
    static char line[PATH_MAX + 256];
    std::size_t used = 0;
    char buffer[4096];
    ssize_t n;
    while (dump.Error() == 0 && (n = ::read(maps, buffer, sizeof buffer)) > 0) {
        for (ssize_t i = 0; i < n; ++i) {
            if (buffer[i] != '\n') {
                if (used < sizeof line - 1) line[used++] = buffer[i];
                continue;
            }
            line[used] = '\0';
            WriteRegionOf(dump, line);
            used = 0;
        }
    }
    ::close(maps);
}

// The STATUS argument: "saved" without an error, else the failure's word and the error number.
void FormatStatus(char* status, const char* failure, int error) {
    const char* word = error == 0 ? kCrashStatusSaved : failure;
    std::size_t length = std::strlen(word);
    std::memcpy(status, word, length);
    char digits[12];
    int count = 0;
    for (; error > 0; error /= 10) digits[count++] = static_cast<char>('0' + error % 10);
    while (count > 0) status[length++] = digits[--count];
    status[length] = '\0';
}

// Writes the dump; the words of its outcome go into `status`. True when it was saved.
bool WriteDump(int signal, const siginfo_t* info, const void* context, char* status) {
    const int fd = ::open(g_dumpPath, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        FormatStatus(status, kCrashStatusNotCreated, errno);
        return false;
    }
    ::fchmod(fd, 0600);  // an older dump may have been readable by others
    DumpFile dump(fd);
    WriteHead(dump, signal, info, context);
    WriteBacktrace(dump, fd);
    dump.Text("\nmemory map:\n");
    dump.CopyOf("/proc/self/maps");
    if (g_bigDump.load()) WritePrivateMemory(dump);
    dump.Text("\nend of dump\n");
    int error = dump.Error();
    if (::close(fd) != 0 && error == 0) error = errno;
    FormatStatus(status, kCrashStatusNotSaved, error);
    return error == 0;
}

// `/proc/self/exe --crash-report PATH STATUS`, with no signal blocked and no
// descriptor of ours open; returns when it has ended.
void RunReporter(char* status) {
    char program[] = "harbinet";
    char option[sizeof kCrashReportOption];
    std::memcpy(option, kCrashReportOption, sizeof option);
    char* const arguments[] = {program, option, g_dumpPath, status, nullptr};
    const pid_t child = ::_Fork();
    if (child == 0) {
        sigset_t none;
        ::sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::close_range(3, ~0U, 0);
        ::execve("/proc/self/exe", arguments, environ);
        ::_exit(127);
    }
    if (child < 0) return;
    int ignored = 0;
    while (::waitpid(child, &ignored, 0) < 0 && errno == EINTR) {
    }
}

void EndWithSystemHandling(int signal) {
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    ::sigaction(signal, &fallback, nullptr);
    sigset_t only;
    ::sigemptyset(&only);
    ::sigaddset(&only, signal);
    ::sigprocmask(SIG_UNBLOCK, &only, nullptr);
    ::raise(signal);
    ::_exit(128 + signal);
}

void OnCrash(int signal, siginfo_t* info, void* context) {
    if (g_reporting.exchange(true)) {
        for (;;) ::pause();  // the first crashing thread ends the process
    }
    static char status[64];
    const bool saved = WriteDump(signal, info, context, status);
    RunReporter(status);
    // A dump that was written is the whole report; without one the system's own handling follows.
    if (saved) ::_exit(128 + signal);
    EndWithSystemHandling(signal);
}

void ChooseDumpPath() {
    const char* folder = std::getenv("TMPDIR");
    if (folder == nullptr || *folder == '\0' || std::strlen(folder) + sizeof kDumpName + 1 > sizeof g_dumpPath) {
        folder = "/tmp/";
    }
    std::size_t length = std::strlen(folder);
    std::memcpy(g_dumpPath, folder, length);
    if (g_dumpPath[length - 1] != '/') g_dumpPath[length++] = '/';
    std::memcpy(g_dumpPath + length, kDumpName, sizeof kDumpName);
}

}  // namespace

bool InstallCrashHandler(const char* programVersion) {
    g_version = programVersion;
    g_pageSize = ::sysconf(_SC_PAGESIZE);
    ChooseDumpPath();
    void* frame[1];
    ::backtrace(frame, 1);

    stack_t stack{};
    stack.ss_sp = g_signalStack;
    stack.ss_size = sizeof g_signalStack;
    bool ok = ::sigaltstack(&stack, nullptr) == 0;
    struct sigaction action {};
    action.sa_sigaction = OnCrash;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    // A fault inside the handler itself then ends the process at once.
    ::sigemptyset(&action.sa_mask);
    for (const int signal : kCrashSignals) ::sigaddset(&action.sa_mask, signal);
    for (const int signal : kCrashSignals) ok = ::sigaction(signal, &action, nullptr) == 0 && ok;
    return ok;
}

void RemoveCrashHandler() {
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    for (const int signal : kCrashSignals) ::sigaction(signal, &fallback, nullptr);
}

void SetBigCrashDump(bool big) { g_bigDump.store(big); }

}  // namespace hbt
