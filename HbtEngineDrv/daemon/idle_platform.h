#pragma once
// IdlePlatform: a filtering platform that intercepts nothing. The engine runs
// on it and serves its device in full, but no connect or flow ever reaches it;
// used by `hbt-engined --dry-run` for developing the program without root.
#include "HbtEngineDrv/platform/filter_platform.h"

namespace hbt {

class IdlePlatform : public FilterPlatform {
public:
    uint64_t Now() override;
    void CompleteConnect(uint64_t connectHandle, const ConnectCompletion& completion) override;
    uint32_t InjectStream(const StreamInjection& injection) override;
    bool AssociateFlowContext(uint64_t flowId, uint16_t layerId, uint32_t calloutId,
                              std::shared_ptr<FlowContext> context) override;
    bool RemoveFlowContext(uint64_t flowId, uint16_t layerId, uint32_t calloutId) override;
    // Nothing is intercepted anyway; any set of ports is taken.
    bool SetConnectPorts(const NfePortRules&) override { return true; }
};

}  // namespace hbt
