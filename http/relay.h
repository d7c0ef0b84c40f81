#pragma once
// The byte relay between an application's connection and the proxy's own
// connection to the destination it asked for.
#include <cstddef>
#include <memory>

#include "engine_protocol/socket_address_slot.h"

namespace hbt {

class CIpExcluder;
class CSafeSocket;

inline constexpr std::size_t relayBufferSize = 20000;

// Holds the temporary exclusion of a destination: when the last reference
// goes, the address is removed from the excluder again.
class ExclusionGuard {
public:
    ExclusionGuard(CIpExcluder* excluder, const SocketAddressSlot& address)
        : excluder_(excluder), address_(address) {}
    ExclusionGuard(const ExclusionGuard&) = delete;
    ExclusionGuard& operator=(const ExclusionGuard&) = delete;
    ~ExclusionGuard();

private:
    CIpExcluder* excluder_;
    SocketAddressSlot address_;
};

// One recv of at most relayBufferSize bytes from `source`, sent whole to
// `target`. The number of bytes moved, or -1 when the source closed or either
// side failed.
long TransferOnce(CSafeSocket& source, CSafeSocket& target);

// Moves bytes both ways until one side closes or fails (true) or the wait
// itself fails (false): by splice inside the kernel, by TransferOnce where
// splice cannot serve. The guard is released once the destination has
// answered for the first time.
bool RelayTraffic(const std::shared_ptr<CSafeSocket>& client, const std::shared_ptr<CSafeSocket>& destination,
                  std::shared_ptr<ExclusionGuard>& guard);

}  // namespace hbt
