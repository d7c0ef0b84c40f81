#include "platform/socket_calls.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "platform/socket_address.h"

namespace hbt {
namespace {

// The socket options that read a connection's destination before NAT (from
// <linux/netfilter_ipv4.h> and <linux/netfilter_ipv6/ip6_tables.h>, whose
// kernel types clash with <netinet/in.h>).
constexpr int kSoOriginalDst = 80;
constexpr int kIp6tSoOriginalDst = 80;

int Fd(SocketHandle handle) { return static_cast<int>(handle); }

std::optional<SocketAddressSlot> ReadAddress(SocketHandle handle, bool peer) {
    sockaddr_storage storage{};
    socklen_t length = sizeof(storage);
    auto* address = reinterpret_cast<sockaddr*>(&storage);
    const int result = peer ? ::getpeername(Fd(handle), address, &length)
                            : ::getsockname(Fd(handle), address, &length);
    if (result != 0) return std::nullopt;
    return FromNative(address, length);
}

}  // namespace

SocketHandle CreateTcpSocket(uint16_t family) {
    int nativeFamily = 0;
    if (family == kFamilyIpv4) {
        nativeFamily = AF_INET;
    } else if (family == kFamilyIpv6) {
        nativeFamily = AF_INET6;
    } else {
        errno = EAFNOSUPPORT;
        return kInvalidSocket;
    }
    const int fd = ::socket(nativeFamily, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    return fd < 0 ? kInvalidSocket : static_cast<SocketHandle>(fd);
}

int ShutdownAndClose(SocketHandle handle) {
    ::shutdown(Fd(handle), SHUT_RDWR);
    return ::close(Fd(handle));
}

void ShutdownBothWays(SocketHandle handle) { ::shutdown(Fd(handle), SHUT_RDWR); }

bool BindSocket(SocketHandle handle, const SocketAddressSlot& address) {
    const auto native = ToNative(address);
    if (!native) return false;
    return ::bind(Fd(handle), native->get(), native->length) == 0;
}

bool ListenSocket(SocketHandle handle, int backlog) { return ::listen(Fd(handle), backlog) == 0; }

bool ConnectSocket(SocketHandle handle, const SocketAddressSlot& address) {
    const auto native = ToNative(address);
    if (!native) {
        errno = EAFNOSUPPORT;
        return false;
    }
    int result;
    do {
        result = ::connect(Fd(handle), native->get(), native->length);
    } while (result != 0 && errno == EINTR);
    return result == 0;
}

SocketHandle AcceptSocket(SocketHandle listener) {
    sockaddr_storage storage{};
    socklen_t length = sizeof(storage);
    const int fd = ::accept4(Fd(listener), reinterpret_cast<sockaddr*>(&storage), &length, SOCK_CLOEXEC);
    return fd < 0 ? kInvalidSocket : static_cast<SocketHandle>(fd);
}

std::optional<SocketAddressSlot> LocalAddress(SocketHandle handle) { return ReadAddress(handle, false); }
std::optional<SocketAddressSlot> PeerAddress(SocketHandle handle) { return ReadAddress(handle, true); }

std::optional<SocketAddressSlot> OriginalDestination(SocketHandle handle) {
    const std::optional<SocketAddressSlot> local = LocalAddress(handle);
    if (!local) return std::nullopt;
    sockaddr_storage storage{};
    socklen_t length = sizeof(storage);
    auto* address = reinterpret_cast<sockaddr*>(&storage);
    const int result = local->IsIpv6() ? ::getsockopt(Fd(handle), SOL_IPV6, kIp6tSoOriginalDst, address, &length)
                                       : ::getsockopt(Fd(handle), SOL_IP, kSoOriginalDst, address, &length);
    if (result != 0) return std::nullopt;
    return FromNative(address, length);
}

long SendSome(SocketHandle handle, const void* data, std::size_t length) {
    ssize_t sent;
    do {
        sent = ::send(Fd(handle), data, length, MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    return static_cast<long>(sent);
}

namespace {

long Receive(SocketHandle handle, void* buffer, std::size_t length, int flags) {
    ssize_t received;
    do {
        received = ::recv(Fd(handle), buffer, length, flags);
    } while (received < 0 && errno == EINTR);
    // A clean close is no failure: leave no stale error behind for the caller to report.
    if (received == 0) errno = 0;
    return static_cast<long>(received);
}

}  // namespace

long ReceiveSome(SocketHandle handle, void* buffer, std::size_t length) { return Receive(handle, buffer, length, 0); }

long PeekQueued(SocketHandle handle, void* buffer, std::size_t length) {
    return Receive(handle, buffer, length, MSG_PEEK | MSG_DONTWAIT);
}

ReadableWait WaitReadable(SocketHandle handle, int milliseconds) {
    pollfd entry{Fd(handle), POLLIN, 0};
    int ready;
    do {
        ready = ::poll(&entry, 1, milliseconds > 0 ? milliseconds : -1);
    } while (ready < 0 && errno == EINTR);
    if (ready < 0) return ReadableWait::kFailed;
    return ready == 0 ? ReadableWait::kTimedOut : ReadableWait::kReadable;
}

bool WaitForSockets(SocketWait* waits, std::size_t count) {
    pollfd fds[2];
    std::vector<pollfd> many;
    pollfd* entries = fds;
    if (count > 2) {
        many.resize(count);
        entries = many.data();
    }
    for (std::size_t i = 0; i < count; ++i) {
        entries[i] = pollfd{Fd(waits[i].handle), POLLIN | POLLPRI, 0};
    }
    int ready;
    do {
        ready = ::poll(entries, count, -1);
    } while (ready < 0 && errno == EINTR);
    if (ready < 0) return false;
    for (std::size_t i = 0; i < count; ++i) {
        const short events = entries[i].revents;
        waits[i].readable = (events & POLLIN) != 0;
        // Out-of-band data counts as an exceptional condition, as it does for select().
        waits[i].failed = (events & (POLLPRI | POLLERR | POLLNVAL)) != 0 ||
                          ((events & POLLHUP) != 0 && !waits[i].readable);
    }
    return true;
}

}  // namespace hbt
