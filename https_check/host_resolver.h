#pragma once
// Name lookup for the address step of the HTTPS check.
#include <string>

#include "engine_protocol/socket_address_slot.h"

namespace hbt {

// getaddrinfo for TCP in the given family (AF_INET or AF_INET6). Fills the
// first address found (port 0). On failure error holds the WinSock number of
// the lookup failure (11001 host not found, 11002 try again, ...).
bool ResolveHostName(const std::string& host, int family, SocketAddressSlot& address, int& error);

}  // namespace hbt
