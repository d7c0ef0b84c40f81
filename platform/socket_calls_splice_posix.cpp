#include "platform/socket_calls_splice.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

namespace hbt {
namespace {

// What one splice may take from a socket: the capacity asked of each pipe.
constexpr std::size_t kSpliceChunk = 262144;

sigset_t SigpipeOnly() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGPIPE);
    return set;
}

bool SigpipePending() {
    sigset_t pending;
    sigpending(&pending);
    return sigismember(&pending, SIGPIPE) == 1;
}

ssize_t SpliceRetrying(int in, int out, std::size_t length) {
    ssize_t moved;
    do {
        moved = ::splice(in, nullptr, out, nullptr, length, SPLICE_F_MOVE);
    } while (moved < 0 && errno == EINTR);
    return moved;
}

}  // namespace

SpliceRelay::SpliceRelay() {
    const sigset_t set = SigpipeOnly();
    sigset_t old;
    pthread_sigmask(SIG_BLOCK, &set, &old);
    sigpipeWasBlocked_ = sigismember(&old, SIGPIPE) == 1;
    sigpipeWasPending_ = SigpipePending();
}

SpliceRelay::~SpliceRelay() {
    for (auto& pipe : pipes_) {
        for (int end : pipe) {
            if (end >= 0) ::close(end);
        }
    }
    const sigset_t set = SigpipeOnly();
    if (!sigpipeWasPending_ && SigpipePending()) {
        const timespec zero{0, 0};
        sigtimedwait(&set, nullptr, &zero);
    }
    if (!sigpipeWasBlocked_) pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

long SpliceRelay::MoveOnce(SocketHandle source, SocketHandle target, int direction) {
    int* pipe = pipes_[direction];
    if (pipe[0] < 0) {
        if (::pipe2(pipe, O_CLOEXEC) != 0) {
            pipe[0] = pipe[1] = -1;
            return kUnsupported;  // out of descriptors: copying still works
        }
        // Fewer, larger moves; a pipe kept at its default size still works.
        ::fcntl(pipe[1], F_SETPIPE_SZ, static_cast<int>(kSpliceChunk));
    }
    const ssize_t taken = SpliceRetrying(static_cast<int>(source), pipe[1], kSpliceChunk);
    if (taken < 0 && errno == EINVAL) return kUnsupported;
    if (taken <= 0) return -1;
    for (ssize_t left = taken; left > 0;) {
        const ssize_t given = SpliceRetrying(pipe[0], static_cast<int>(target), static_cast<std::size_t>(left));
        if (given <= 0) return -1;
        left -= given;
    }
    return static_cast<long>(taken);
}

}  // namespace hbt
