#pragma once
// NfeEngine: the interception engine's global state and its hub. It is the
// classify entry of the platform (FilterCallouts), builds and queues events,
// writes the engine's messages, serves the device-control requests of the
// engine protocol, and starts and stops the engine.
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "HbtEngineDrv/engine/connect_redirector.h"
#include "HbtEngineDrv/engine/event_queue.h"
#include "HbtEngineDrv/engine/flow_inspector.h"
#include "HbtEngineDrv/platform/filter_platform.h"
#include "engine_protocol/engine_device.h"
#include "engine_protocol/nfe_config.h"
#include "engine_protocol/nfe_event.h"

namespace hbt {

inline constexpr std::size_t kMaxQueuedEvents = 1000;      // interception pauses at this count
inline constexpr std::size_t kMaxQueuedWithMessages = 1011;  // messages are dropped at this count
inline constexpr std::size_t kMaxFlowContexts = 1000;

class NfeEngine : public FilterCallouts {
public:
    explicit NfeEngine(FilterPlatform& platform);
    ~NfeEngine() override;
    NfeEngine(const NfeEngine&) = delete;
    NfeEngine& operator=(const NfeEngine&) = delete;

    // FilterCallouts
    ConnectAction ClassifyConnect(const ClassifyInfo& info) override;
    void ClassifyFlowEstablished(const ClassifyInfo& info) override;
    StreamAction ClassifyStream(const ClassifyInfo& info, const StreamSegment& segment,
                                const std::shared_ptr<FlowContext>& context) override;
    void FlowDeleted(uint16_t layerId, uint32_t calloutId,
                     const std::shared_ptr<FlowContext>& context) override;

    // The control device: one open file at a time; closing it stops the engine
    // and holds every connect again, as before the first port rules.
    bool OpenFile();
    void CloseFile();
    // One device-control request; `done` runs now or, for a waiting get-event
    // request, when an event arrives.
    void DeviceControl(uint32_t controlCode, const std::vector<uint8_t>& input, uint32_t outputCapacity,
                       DeviceCompletion done);

    // Lets go of held connects past their time-out; runs on every connect and
    // from the daemon's ticker, so a lone connect is never held for ever.
    void ExpirePending() { redirector_.ExpireTimed(); }

    // Shutdown of the whole engine: stopped, pending connects let go, flows released.
    void Teardown();

    // Used by the engine's parts.
    bool IsActive() const { return active_.load(); }
    std::shared_ptr<const NfeConfig> Config() const;
    uint64_t Now() { return platform_.Now(); }
    void Message(const std::string& text, uint64_t status, uint64_t parameter,
                 uint32_t severity = 0);
    // Builds an event of the given type from a classification; nullopt (with a
    // message) when the type is unknown or the data too large.
    std::optional<NfeEvent> CreateEvent(uint32_t type, const ClassifyInfo& info, const FlowContext* flow,
                                        const std::vector<uint8_t>& extraData);
    bool QueueEvent(NfeEvent event, const FlowContext* flow);
    EventQueue& Queue() { return queue_; }
    void Stop(bool automatic);

    std::size_t QueuedEventCount() const { return queue_.Count(); }
    std::size_t FlowCount() const { return flows_.Count(); }
    std::size_t PendingRedirectCount() const { return redirector_.PendingCount(); }

private:
    uint32_t Start();
    bool PassesGuards(const ClassifyInfo& info);
    bool IsOwnProcess(const ClassifyInfo& info, const NfeConfig& config) const;

    uint32_t SetConfig(const std::vector<uint8_t>& input);
    uint32_t SetPortRules(const std::vector<uint8_t>& input);
    uint32_t ProcessRedirect(const std::vector<uint8_t>& input);
    DeviceReply ProcessRedirects(const std::vector<uint8_t>& input, uint32_t outputCapacity);
    // One redirect answer record of kNfeEventHeaderSize bytes; returns its status.
    uint32_t AnswerRecord(const uint8_t* record);
    uint32_t FlowOperation(const std::vector<uint8_t>& input);
    DeviceReply FixedOutput(std::vector<uint8_t> record, uint32_t outputCapacity);

    FilterPlatform& platform_;
    std::atomic<bool> active_{false};
    std::atomic<bool> fileOpen_{false};
    mutable std::mutex configMutex_;
    std::shared_ptr<const NfeConfig> config_;
    std::mutex lifecycleMutex_;  // Start and Stop
    EventQueue queue_;
    ConnectRedirector redirector_;
    FlowInspector flows_;
};

}  // namespace hbt
