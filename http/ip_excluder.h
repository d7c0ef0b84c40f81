#pragma once
// How request handling excludes the addresses its own upstream connections go
// to, without knowing the core.
#include "engine_protocol/socket_address_slot.h"

namespace hbt {

class CIpExcluder {
public:
    virtual ~CIpExcluder() = default;
    // Both return the result of sending the engine its configuration again.
    virtual bool AddAddress(const SocketAddressSlot& address) = 0;
    virtual bool RemoveAddress(const SocketAddressSlot& address) = 0;
};

}  // namespace hbt
