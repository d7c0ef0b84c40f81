#pragma once
// Where a redirected connection was really going and who opened it, stored by
// the engine event loop just before the connect is sent to the proxy.
#include <cstdint>
#include <string>

#include "engine_protocol/socket_address_slot.h"

namespace hbt {

struct RedirectRecord {
    // The client's local address as the engine saw it: the proxy's peer
    // address. An all-zero address matches any address of its family.
    SocketAddressSlot clientAddress;
    SocketAddressSlot destination;
    uint32_t processId = 0;
    std::wstring applicationPath;
};

// Same family and port, and the record's address is the wildcard or equal.
bool RedirectRecordMatches(const RedirectRecord& record, const SocketAddressSlot& peer);
// The same without the port: the record's address is the wildcard or equal.
bool RedirectRecordFromClient(const RedirectRecord& record, const SocketAddressSlot& peer);
// Same family, address and port.
bool SameEndpoint(const SocketAddressSlot& a, const SocketAddressSlot& b);

}  // namespace hbt
