#include "core/accept_loop.h"

#include <thread>

#include "log/log.h"
#include "platform/safe_socket.h"
#include "platform/socket_calls.h"

namespace hbt {

std::shared_ptr<CSafeSocket> AcceptNext(CSafeSocket& listener, const std::atomic<bool>& running,
                                        const AcceptLoopSettings& settings) {
    const auto stopped = [&] { return listener.IsClosed() || !running.load(); };
    while (!stopped()) {
        const SocketHandle handle = AcceptSocket(listener.Handle());
        if (handle == kInvalidSocket) {
            if (stopped()) break;  // woken by shutdown: no failure
            CLog(kLogError) << settings.failureLine;
            std::this_thread::sleep_for(settings.failurePause);
            continue;
        }
        auto socket = std::make_shared<CSafeSocket>(handle);
        if (stopped()) break;
        return socket;
    }
    return nullptr;
}

void RunAcceptLoop(CSafeSocket& listener, const std::atomic<bool>& running, const AcceptLoopSettings& settings,
                   const AcceptedSocketHandler& onAccepted) {
    while (std::shared_ptr<CSafeSocket> socket = AcceptNext(listener, running, settings)) onAccepted(std::move(socket));
}

}  // namespace hbt
