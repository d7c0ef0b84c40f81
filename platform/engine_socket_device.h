#pragma once
// The engine's device reached over its Unix-domain socket: the hello, then
// pipelined requests whose replies may arrive in any order.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <utility>
#include <vector>
#include <memory>
#include <mutex>
#include <string>

#include "engine_protocol/engine_device.h"

namespace hbt {

inline constexpr uint32_t kEngineSocketMagic = 0x31544248;  // "HBT1"
inline constexpr const char* kDefaultEngineDevicePath = "/run/harbinet/HbtEngineDrv";

// HBT_ENGINE_DEVICE when set, else the default path.
std::string EngineDevicePath();

class SocketEngineDevice : public EngineDevice {
public:
    // Connects and reads the hello. On failure returns nullptr and sets
    // win32Error: 2 when no engine serves the path, 5 when the engine refuses
    // this client (another client holds the device, or this user is not allowed).
    static std::unique_ptr<SocketEngineDevice> Open(const std::string& path, uint32_t& win32Error);

    ~SocketEngineDevice() override;

    // Returns once the request is answered. There is no reader thread: the
    // thread that waits reads the socket itself, so a reply wakes the thread
    // it is for; while one submitter reads, the others wait, and it completes
    // their replies as they come and hands the reading on when its own is in.
    void Submit(uint32_t controlCode, std::vector<uint8_t> input, uint32_t outputCapacity,
                DeviceCompletion done) override;
    void Close() override;

private:
    explicit SocketEngineDevice(int fd);
    bool SendRequest(uint64_t requestId, uint32_t controlCode, const std::vector<uint8_t>& input,
                     uint32_t outputCapacity);
    void AwaitReply(uint64_t requestId);
    // Reads and completes replies until the one for `requestId` is in or the
    // connection is gone (every request then completes as cancelled).
    void ReadRepliesUntil(uint64_t requestId);
    // The completion of a request still waiting for its reply, taken out; empty when none.
    DeviceCompletion TakePending(uint64_t requestId);
    // Few at a time; kept in a vector whose room is reused from request to request.
    using PendingList = std::vector<std::pair<uint64_t, DeviceCompletion>>;
    PendingList::iterator FindPendingLocked(uint64_t requestId);
    void FailAllPending();

    int fd_;
    std::atomic<bool> closed_{false};
    std::mutex writeMutex_;
    std::mutex pendingMutex_;
    std::condition_variable replyTaken_;  // a waiter's reply was completed, or the reading is free
    PendingList pending_;
    std::vector<uint8_t> frame_;  // the request being sent, under writeMutex_
    bool reading_ = false;
    uint64_t nextRequestId_ = 1;
};

}  // namespace hbt
