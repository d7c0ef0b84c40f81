#pragma once
// One client of the engine device socket: reads framed requests, hands them
// to its open device, and writes the replies as they complete. When the client
// goes away the device is closed, which stops the engine.
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "engine_protocol/engine_device.h"

namespace hbt {

class DeviceSocketConnection : public std::enable_shared_from_this<DeviceSocketConnection> {
public:
    // Takes ownership of the connected socket, which has had its hello.
    static std::shared_ptr<DeviceSocketConnection> Start(int fd, std::unique_ptr<EngineDevice> device);
    ~DeviceSocketConnection();

    // Drops the client; the session ends as if it had disconnected.
    void Stop();
    // The client closed its end (its session may still be ending).
    bool PeerHungUp() const;
    bool WaitFinished(std::chrono::milliseconds timeout);
    void Join();

private:
    DeviceSocketConnection(int fd, std::unique_ptr<EngineDevice> device);

    void ReadLoop();
    bool DispatchRequests(std::vector<uint8_t>& buffer);
    bool DispatchBuffered(std::vector<uint8_t>& buffer);
    void SendWithoutBlocking(std::unique_lock<std::mutex>& lock);
    void WriteLoop();
    bool SendAll(const std::vector<uint8_t>& bytes);
    void QueueReply(uint64_t id, const DeviceReply& reply);

    int fd_;
    std::unique_ptr<EngineDevice> device_;
    std::thread reader_;
    std::thread writer_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::vector<uint8_t> outgoing_;  // replies not yet handed to the socket, in order
    // What the one sending (writing_) hands to the socket, outside the lock.
    // It and outgoing_ change places for each send and keep their room.
    std::vector<uint8_t> sending_;
    bool writing_ = false;           // someone is sending; nobody else may
    bool corked_ = false;            // the reader is dispatching a batch; its replies wait for the batch end
    bool closing_ = false;
    bool finished_ = false;
};

}  // namespace hbt
