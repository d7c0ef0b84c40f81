#pragma once
// Tells systemd how the service is doing (the sd_notify protocol: a datagram
// to $NOTIFY_SOCKET), so that units ordered after the engine start once its
// device is served. Does nothing outside a notify-type service.
#include <string>

namespace hbt {

// `state` is a line such as "READY=1" or "STOPPING=1".
void NotifyServiceManager(const std::string& state);

}  // namespace hbt
