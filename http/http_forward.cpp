// The upstream side of CHttpTraffic: the proxy's own connection to the
// destination the application asked for, and the relay over it.
#include "platform/safe_socket.h"
#include "http/http_traffic.h"
#include "http/relay.h"
#include "log/log.h"
#include "platform/socket_address.h"
#include "platform/socket_error.h"
#include "http/ip_excluder.h"

namespace hbt {

bool CHttpTraffic::ForwardToTarget(const ConnectionDescription& connection, const ForwardRequest& request) {
    const SocketAddressSlot& address = connection.destination;
    {
        CLog line(kLogNormal, connection.processId, connection.applicationPath.c_str());
        line << SocketAddressText(address) << request.logText;
        if (!request.host.empty()) line << HostLogUrl(request.host);
        if (!request.reason.empty()) line << request.reason;
    }
    std::shared_ptr<CSafeSocket> upstream = CSafeSocket::Create(address.Family());

    // Keep the engine from sending our own connection back to the proxy while it is set up.
    if (excluder_) excluder_->AddAddress(address);
    auto guard = std::make_shared<ExclusionGuard>(excluder_, address);

    bool result = false;
    if (!upstream || !ConnectSocket(upstream->Handle(), address)) {
        errorText = "Could not connect to target server";
    } else if (!upstream->SendAll(request.requestHead.data(), request.requestHead.size())) {
        errorText = "Could not transfer request to socket";
    } else if (!(result = RelayTraffic(clientSocket_, upstream, guard))) {
        // Only the wait itself fails the relay; the core logs this text.
        errorText = "Select() failed with error " + std::to_string(LastSocketError());
    }
    guard.reset();
    return result;
}

}  // namespace hbt
