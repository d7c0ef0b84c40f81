#include "http/relay.h"

#include "http/ip_excluder.h"
#include "platform/safe_socket.h"

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

bool RelayTraffic(const std::shared_ptr<CSafeSocket>& client, const std::shared_ptr<CSafeSocket>& destination,
                  std::shared_ptr<ExclusionGuard>& guard) {
    if (!client || !destination) return false;
    // Our own references: the owners may let go while we relay.
    const std::shared_ptr<CSafeSocket> from = client;
    const std::shared_ptr<CSafeSocket> to = destination;
    for (;;) {
        // A socket closed by another thread has no handle left to wait on.
        if (!from->Usable() || !to->Usable()) return true;
        SocketWait waits[2] = {{from->Handle()}, {to->Handle()}};
        const std::size_t count = waits[0].handle == waits[1].handle ? 1 : 2;
        if (!WaitForSockets(waits, count)) return false;
        if (waits[0].failed || (count == 2 && waits[1].failed)) return true;
        if (waits[0].readable && TransferOnce(*from, *to) < 0) return true;
        if (count == 2 && waits[1].readable) {
            if (TransferOnce(*to, *from) < 0) return true;
            guard.reset();
        }
    }
}

}  // namespace hbt
