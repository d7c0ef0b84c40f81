#pragma once
// InProcessEngineDevice: an open handle on an engine living in the same
// process; requests go straight to the engine's device-control dispatcher.
#include <atomic>
#include <memory>

#include "engine_protocol/engine_device.h"

namespace hbt {

class NfeEngine;

class InProcessEngineDevice : public EngineDevice {
public:
    // The device is exclusive: nullptr while another handle is open.
    static std::unique_ptr<InProcessEngineDevice> Open(NfeEngine& engine);
    ~InProcessEngineDevice() override;

    void Submit(uint32_t controlCode, std::vector<uint8_t> input, uint32_t outputCapacity,
                DeviceCompletion done) override;
    void Close() override;

private:
    explicit InProcessEngineDevice(NfeEngine& engine) : engine_(engine) {}

    NfeEngine& engine_;
    std::atomic<bool> closed_{false};
};

}  // namespace hbt
