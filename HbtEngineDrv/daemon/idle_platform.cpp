#include "HbtEngineDrv/daemon/idle_platform.h"

#include <chrono>

#include "engine_protocol/nfe_protocol.h"

namespace hbt {

uint64_t IdlePlatform::Now() {
    const auto sinceBoot = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(sinceBoot).count() / 100);
}

// Nothing is ever held or tracked here, so there is nothing to complete or inject into.
void IdlePlatform::CompleteConnect(uint64_t, const ConnectCompletion&) {}

uint32_t IdlePlatform::InjectStream(const StreamInjection&) { return kStatusNotFound; }

bool IdlePlatform::AssociateFlowContext(uint64_t, uint16_t, uint32_t, std::shared_ptr<FlowContext>) { return false; }

bool IdlePlatform::RemoveFlowContext(uint64_t, uint16_t, uint32_t) { return false; }

}  // namespace hbt
