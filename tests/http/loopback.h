#pragma once
// Real loopback sockets for the proxy tests: connected pairs, a small server
// that runs a handler per accepted connection, and readers.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/safe_socket.h"
#include "platform/socket_address.h"
#include "platform/socket_calls.h"

namespace hbt::test {

inline SocketAddressSlot Loopback4(uint16_t port = 0) { return *ParseIpAddress("127.0.0.1", port); }

inline std::shared_ptr<CSafeSocket> ListenOn(const SocketAddressSlot& address) {
    auto socket = CSafeSocket::Create(address.Family());
    if (!socket || !BindSocket(socket->Handle(), address) || !ListenSocket(socket->Handle(), 200)) return nullptr;
    return socket;
}

inline SocketAddressSlot BoundAddress(const CSafeSocket& socket) { return *LocalAddress(socket.Handle()); }

inline std::shared_ptr<CSafeSocket> ConnectTo(const SocketAddressSlot& address) {
    auto socket = CSafeSocket::Create(address.Family());
    if (!socket || !ConnectSocket(socket->Handle(), address)) return nullptr;
    return socket;
}

// A client socket bound to a known local port before it connects.
inline std::shared_ptr<CSafeSocket> BoundClient(const SocketAddressSlot& local) {
    auto socket = CSafeSocket::Create(local.Family());
    if (!socket || !BindSocket(socket->Handle(), local)) return nullptr;
    return socket;
}

struct ConnectedPair {
    std::shared_ptr<CSafeSocket> client;    // the application's end
    std::shared_ptr<CSafeSocket> accepted;  // the proxy's end
};

inline ConnectedPair MakeConnectedPair() {
    auto listener = ListenOn(Loopback4());
    ConnectedPair pair;
    pair.client = ConnectTo(BoundAddress(*listener));
    pair.accepted = std::make_shared<CSafeSocket>(AcceptSocket(listener->Handle()));
    return pair;
}

inline bool SendText(CSafeSocket& socket, const std::string& text) { return socket.SendAll(text.data(), text.size()); }

// Everything until the peer closes.
inline std::string ReadToEnd(CSafeSocket& socket) {
    std::string all;
    char buffer[4096];
    long received;
    while ((received = ReceiveSome(socket.Handle(), buffer, sizeof(buffer))) > 0) all.append(buffer, received);
    return all;
}

// Exactly `length` bytes, or fewer when the peer closes first.
inline std::string ReadBytes(CSafeSocket& socket, std::size_t length) {
    std::string text(length, '\0');
    if (!socket.ReceiveExact(text.data(), length)) return {};
    return text;
}

// Accepts connections on 127.0.0.1 and runs `handler` for each on its own
// thread. Destruction closes the listener and joins every handler, so
// handlers must end when their peer closes.
class LoopbackServer {
public:
    using Handler = std::function<void(std::shared_ptr<CSafeSocket>)>;

    explicit LoopbackServer(Handler handler) : handler_(std::move(handler)), listener_(ListenOn(Loopback4())) {
        address_ = BoundAddress(*listener_);
        acceptor_ = std::thread([this] { AcceptLoop(); });
    }
    ~LoopbackServer() {
        listener_->Close();
        acceptor_.join();
        std::lock_guard lock(mutex_);
        for (auto& worker : workers_) worker.join();
    }
    const SocketAddressSlot& Address() const { return address_; }

private:
    void AcceptLoop() {
        for (;;) {
            const SocketHandle handle = AcceptSocket(listener_->Handle());
            if (handle == kInvalidSocket) return;
            auto socket = std::make_shared<CSafeSocket>(handle);
            std::lock_guard lock(mutex_);
            workers_.emplace_back([this, socket] { handler_(socket); });
        }
    }

    Handler handler_;
    std::shared_ptr<CSafeSocket> listener_;
    SocketAddressSlot address_;
    std::thread acceptor_;
    std::mutex mutex_;
    std::vector<std::thread> workers_;
};

// Records what its connections sent, each until the peer closed.
class RecordingServer {
public:
    RecordingServer()
        : server_([this](std::shared_ptr<CSafeSocket> socket) {
              std::string received = ReadToEnd(*socket);
              std::lock_guard lock(mutex_);
              received_.push_back(std::move(received));
              changed_.notify_all();
          }) {}
    // Waits until `count` connections have ended; false after five seconds.
    bool WaitForConnections(std::size_t count) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(5), [&] { return received_.size() >= count; });
    }
    const SocketAddressSlot& Address() const { return server_.Address(); }
    std::vector<std::string> Received() {
        std::lock_guard lock(mutex_);
        return received_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> received_;
    LoopbackServer server_;  // last: its handlers use the members above
};

}  // namespace hbt::test
