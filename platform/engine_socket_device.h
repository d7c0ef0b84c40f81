#pragma once
// The engine's device reached over its Unix-domain socket: the hello, then
// pipelined requests whose replies may arrive in any order.
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

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

    void Submit(uint32_t controlCode, std::vector<uint8_t> input, uint32_t outputCapacity,
                DeviceCompletion done) override;
    void Close() override;

private:
    explicit SocketEngineDevice(int fd);
    void ReadReplies();
    // The completion of a request still waiting for its reply, taken out; empty when none.
    DeviceCompletion TakePending(uint64_t requestId);
    void FailAllPending();

    int fd_;
    std::atomic<bool> closed_{false};
    std::mutex writeMutex_;
    std::mutex pendingMutex_;
    std::map<uint64_t, DeviceCompletion> pending_;
    uint64_t nextRequestId_ = 1;
    std::thread reader_;
};

}  // namespace hbt
