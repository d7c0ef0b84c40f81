#pragma once
// The accept loop of every listener of the core (the proxy's and the control
// endpoint's): it hands each accepted socket to the listener's handler and
// ends when the listener is closed or the core stops.
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>

namespace hbt {

class CSafeSocket;

struct AcceptLoopSettings {
    const char* failureLine;  // logged after a failed accept
    // After a failed accept: a pending connection that cannot be taken (out of
    // descriptors) would otherwise make the loop spin and flood the log.
    std::chrono::milliseconds failurePause;
};

using AcceptedSocketHandler = std::function<void(std::shared_ptr<CSafeSocket>)>;

// The next accepted socket; nullptr once the listener is closed or `running`
// is false. A failed accept is logged and tried again after the pause.
std::shared_ptr<CSafeSocket> AcceptNext(CSafeSocket& listener, const std::atomic<bool>& running,
                                        const AcceptLoopSettings& settings);

// Closing the listener is how shutdown wakes the loop; `running` false ends it too.
void RunAcceptLoop(CSafeSocket& listener, const std::atomic<bool>& running, const AcceptLoopSettings& settings,
                   const AcceptedSocketHandler& onAccepted);

}  // namespace hbt
