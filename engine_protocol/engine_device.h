#pragma once
// EngineDevice: the program's handle on the interception engine. One open
// device stands for one open handle of the engine's control device; requests
// are device-control requests of the engine protocol.
#include <cstdint>
#include <functional>
#include <vector>

namespace hbt {

struct DeviceReply {
    uint32_t status = 0;       // NTSTATUS
    uint32_t information = 0;  // bytes returned, or the size needed on buffer-too-small
    std::vector<uint8_t> output;
};

using DeviceCompletion = std::function<void(DeviceReply)>;

class EngineDevice {
public:
    virtual ~EngineDevice() = default;

    // Sends one request. `done` runs exactly once, either before Submit returns
    // or later on another thread (a get-event request waits for an event);
    // requests may complete in any order.
    virtual void Submit(uint32_t controlCode, std::vector<uint8_t> input, uint32_t outputCapacity,
                        DeviceCompletion done) = 0;

    // Closes the handle: the engine stops as for a Stop request and requests
    // still waiting complete with kStatusCancelled. Further submits complete
    // with kStatusCancelled at once.
    virtual void Close() = 0;
};

}  // namespace hbt
