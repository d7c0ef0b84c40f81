#include "platform/safe_socket.h"

namespace hbt {

CSafeSocket::~CSafeSocket() {
    if (descriptor_ != kInvalidSocket) ShutdownAndClose(descriptor_);
}

std::shared_ptr<CSafeSocket> CSafeSocket::Create(uint16_t family) {
    const SocketHandle handle = CreateTcpSocket(family);
    if (handle == kInvalidSocket) return nullptr;
    return std::make_shared<CSafeSocket>(handle);
}

int CSafeSocket::Close() {
    if (closed_.exchange(true, std::memory_order_acq_rel)) return -1;
    const SocketHandle handle = handle_.exchange(kInvalidSocket, std::memory_order_acq_rel);
    if (handle == kInvalidSocket) return -1;
    // Wakes any thread blocked on the socket; the descriptor stays ours until the destructor.
    hbt::ShutdownBothWays(handle);
    return 0;
}

void CSafeSocket::ShutdownBothWays() {
    if (descriptor_ != kInvalidSocket) hbt::ShutdownBothWays(descriptor_);
}

bool CSafeSocket::SendAll(const void* data, std::size_t length) {
    const auto* bytes = static_cast<const char*>(data);
    std::size_t done = 0;
    while (done < length) {
        if (!Usable()) return false;
        const long sent = SendSome(Handle(), bytes + done, length - done);
        if (sent < 0) return false;
        done += static_cast<std::size_t>(sent);
    }
    return true;
}

bool CSafeSocket::ReceiveExact(void* buffer, std::size_t length) {
    auto* bytes = static_cast<char*>(buffer);
    std::size_t done = 0;
    while (done < length) {
        if (!Usable()) return false;
        const long received = ReceiveSome(Handle(), bytes + done, length - done);
        if (received <= 0) return false;
        done += static_cast<std::size_t>(received);
    }
    return true;
}

}  // namespace hbt
