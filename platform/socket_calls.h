#pragma once
// Thin socket calls on handles and address slots, so that the core and the
// HTTP relay never touch the operating system's socket headers.
#include <cstddef>
#include <cstdint>
#include <optional>

#include "engine_protocol/socket_address_slot.h"

namespace hbt {

// A socket handle; all ones means "no socket".
using SocketHandle = std::uintptr_t;
inline constexpr SocketHandle kInvalidSocket = ~SocketHandle{0};

// A TCP stream socket of the slot family (2 or 23); kInvalidSocket when the
// family is unknown or the system refuses.
SocketHandle CreateTcpSocket(uint16_t family);
// Shuts both directions down, then closes; the result of the close (0 or -1).
int ShutdownAndClose(SocketHandle handle);
// Shuts both directions down and keeps the handle: a thread blocked on the
// socket wakes up, and the handle cannot be reused under it.
void ShutdownBothWays(SocketHandle handle);

bool BindSocket(SocketHandle handle, const SocketAddressSlot& address);
bool ListenSocket(SocketHandle handle, int backlog);
// Fails for a family other than IPv4 and IPv6 (no address length fits it).
bool ConnectSocket(SocketHandle handle, const SocketAddressSlot& address);
// kInvalidSocket on failure.
SocketHandle AcceptSocket(SocketHandle listener);
std::optional<SocketAddressSlot> LocalAddress(SocketHandle handle);
std::optional<SocketAddressSlot> PeerAddress(SocketHandle handle);
// Where the client of an accepted connection was connecting to before the
// kernel's address translation sent it here; nullopt when the kernel keeps no
// translation record of the connection.
std::optional<SocketAddressSlot> OriginalDestination(SocketHandle handle);

// One send or recv call: the byte count, 0 when the peer closed (recv, which then
// leaves LastSocketError() at 0), -1 on failure.
long SendSome(SocketHandle handle, const void* data, std::size_t length);
long ReceiveSome(SocketHandle handle, void* buffer, std::size_t length);
// Like ReceiveSome, but the bytes stay queued for the next receive, and it
// never waits: -1 with LastSocketError() kWsaWouldBlock when nothing is queued.
long PeekQueued(SocketHandle handle, void* buffer, std::size_t length);

enum class ReadableWait { kReadable, kTimedOut, kFailed };
// Waits up to `milliseconds` (0: without a limit) until the socket has data,
// its end or an error waiting.
ReadableWait WaitReadable(SocketHandle handle, int milliseconds);

// One entry of a readiness wait: which handle, and what was found.
struct SocketWait {
    SocketHandle handle = kInvalidSocket;
    bool readable = false;  // data or end of stream waiting
    bool failed = false;    // exceptional condition: out-of-band data, error, or hang-up with nothing to read
};

// Waits without a time limit until one of the sockets is readable or has an
// error condition; poll() rather than select(), so that descriptors above
// FD_SETSIZE work. Returns false when the wait itself fails.
bool WaitForSockets(SocketWait* waits, std::size_t count);

}  // namespace hbt
