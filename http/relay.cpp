#include "http/relay.h"

#include "http/ip_excluder.h"
#include "platform/safe_socket.h"
#include "platform/socket_calls_splice.h"

namespace hbt {

ExclusionGuard::~ExclusionGuard() {
    if (excluder_) excluder_->RemoveAddress(address_);
}

long TransferOnce(CSafeSocket& source, CSafeSocket& target) {
    char buffer[relayBufferSize];
    if (!source.Usable()) return -1;
    const long received = ReceiveSome(source.Handle(), buffer, sizeof(buffer));
    if (received <= 0) return -1;
    return target.SendAll(buffer, static_cast<std::size_t>(received)) ? received : -1;
}

namespace {

// Moves what source has queued on to target: inside the kernel while splice
// serves this direction, by the copy loop once it cannot.
long ForwardOnce(SpliceRelay& splice, bool& spliceServes, CSafeSocket& source, CSafeSocket& target, int direction) {
    if (spliceServes) {
        if (!source.Usable() || !target.Usable()) return -1;
        const long moved = splice.MoveOnce(source.Handle(), target.Handle(), direction);
        if (moved != SpliceRelay::kUnsupported) return moved;
        spliceServes = false;
    }
    return TransferOnce(source, target);
}

}  // namespace

bool RelayTraffic(const std::shared_ptr<CSafeSocket>& client, const std::shared_ptr<CSafeSocket>& destination,
                  std::shared_ptr<ExclusionGuard>& guard) {
    if (!client || !destination) return false;
    // Our own references: the owners may let go while we relay.
    const std::shared_ptr<CSafeSocket> from = client;
    const std::shared_ptr<CSafeSocket> to = destination;
    SpliceRelay splice;
    bool spliceServes[2] = {true, true};
    for (;;) {
        // A socket closed by another thread has no handle left to wait on.
        if (!from->Usable() || !to->Usable()) return true;
        SocketWait waits[2] = {{from->Handle()}, {to->Handle()}};
        const std::size_t count = waits[0].handle == waits[1].handle ? 1 : 2;
        if (!WaitForSockets(waits, count)) return false;
        if (waits[0].failed || (count == 2 && waits[1].failed)) return true;
        if (waits[0].readable && ForwardOnce(splice, spliceServes[0], *from, *to, 0) < 0) return true;
        if (count == 2 && waits[1].readable) {
            if (ForwardOnce(splice, spliceServes[1], *to, *from, 1) < 0) return true;
            guard.reset();
        }
    }
}

}  // namespace hbt
