#include "HbtEngineDrv/device/in_process_engine_device.h"

#include "HbtEngineDrv/engine/nfe_engine.h"
#include "engine_protocol/nfe_protocol.h"

namespace hbt {

std::unique_ptr<InProcessEngineDevice> InProcessEngineDevice::Open(NfeEngine& engine) {
    if (!engine.OpenFile()) return nullptr;
    return std::unique_ptr<InProcessEngineDevice>(new InProcessEngineDevice(engine));
}

InProcessEngineDevice::~InProcessEngineDevice() { Close(); }

void InProcessEngineDevice::Submit(uint32_t controlCode, std::vector<uint8_t> input, uint32_t outputCapacity,
                                   DeviceCompletion done) {
    if (closed_.load()) {
        done(DeviceReply{kStatusCancelled, 0, {}});
        return;
    }
    engine_.DeviceControl(controlCode, input, outputCapacity, std::move(done));
}

void InProcessEngineDevice::Close() {
    if (closed_.exchange(true)) return;
    engine_.CloseFile();
}

}  // namespace hbt
