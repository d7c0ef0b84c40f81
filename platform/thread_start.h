#pragma once
// Detached threads with an explicit stack size: connection threads are many
// and small, and the system default (often 8 MiB) would reserve gigabytes for
// a few thousand open relays.
#include <cstddef>
#include <functional>

namespace hbt {

// Starts `body` on a new detached thread whose stack is `stackSize` bytes
// (raised to the system minimum when smaller). False when the thread could not
// be created; `body` then never runs.
bool StartDetachedThread(std::function<void()> body, std::size_t stackSize);

}  // namespace hbt
