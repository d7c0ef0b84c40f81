#pragma once
// Moving bytes from one socket to another inside the kernel: splice(2) into a
// pipe and on out of it, so the program never copies them.
#include "platform/socket_calls.h"

namespace hbt {

// One per relay, used by the relay's thread only: a pipe per direction,
// opened on first use, and SIGPIPE held back on that thread while it lives
// (a splice into a reset connection raises it, and unlike send it has no
// flag against that).
class SpliceRelay {
public:
    // MoveOnce's answer when splice cannot serve a pair of sockets; nothing
    // has moved then, and the caller copies instead.
    static constexpr long kUnsupported = -2;

    SpliceRelay();
    ~SpliceRelay();
    SpliceRelay(const SpliceRelay&) = delete;
    SpliceRelay& operator=(const SpliceRelay&) = delete;

    // One move of what source has queued (up to a pipe's capacity), all of it
    // on to target, through the pipe of direction (0 or 1). The bytes moved;
    // -1 when the source closed or either side failed; kUnsupported.
    long MoveOnce(SocketHandle source, SocketHandle target, int direction);

private:
    int pipes_[2][2] = {{-1, -1}, {-1, -1}};  // [direction][read end, write end]
    bool sigpipeWasBlocked_ = false;
    bool sigpipeWasPending_ = false;
};

}  // namespace hbt
