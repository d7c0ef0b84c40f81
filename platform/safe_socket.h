#pragma once
// CSafeSocket: the holder of every socket of the program. It is shared between
// threads through std::shared_ptr; the last owner closes it. There is no lock:
// the closed flag is set once, each socket is read by one thread at a time, and
// a close from another thread (shutdown) makes every later operation fail.
//
// Close ends the connection at once but releases the descriptor only when the
// last owner goes: a thread still inside a call on the socket must never find
// its descriptor number reused by another connection.
#include <atomic>
#include <cstddef>
#include <memory>

#include "platform/socket_calls.h"

namespace hbt {

class CSafeSocket {
public:
    explicit CSafeSocket(SocketHandle handle) : handle_(handle), descriptor_(handle) {}
    CSafeSocket(const CSafeSocket&) = delete;
    CSafeSocket& operator=(const CSafeSocket&) = delete;
    ~CSafeSocket();

    // A TCP socket of the slot family (2 or 23), or nullptr.
    static std::shared_ptr<CSafeSocket> Create(uint16_t family);

    // -1 when already closed; otherwise shuts down both directions, marks the
    // socket closed (Handle() is then kInvalidSocket) and returns 0.
    int Close();
    // Ends the connection in both directions without closing the handle, so
    // that another thread's blocked read or wait returns; safe from any thread.
    void ShutdownBothWays();
    // Sends until all `length` bytes have gone; false on the first failed send.
    bool SendAll(const void* data, std::size_t length);
    // Receives until `length` bytes are in; false when the peer closes or a recv fails.
    bool ReceiveExact(void* buffer, std::size_t length);

    SocketHandle Handle() const { return handle_.load(std::memory_order_acquire); }
    bool IsClosed() const { return closed_.load(std::memory_order_acquire); }
    // Not closed and holding a handle.
    bool Usable() const { return !IsClosed() && Handle() != kInvalidSocket; }

private:
    std::atomic<SocketHandle> handle_;  // kInvalidSocket once closed
    std::atomic<bool> closed_{false};
    const SocketHandle descriptor_;  // released by the destructor
};

}  // namespace hbt
