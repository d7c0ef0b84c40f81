#pragma once
// The program's thin client of the engine's device: one operation per control
// code, each returning an NfeDriverError, plus the flow-operation wrappers the
// event loop uses. No retrying and no state besides the device and whether
// it takes the batched requests.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine_client/nfe_driver_error.h"
#include "engine_protocol/engine_device.h"
#include "engine_protocol/nfe_port_rules.h"
#include "engine_protocol/socket_address_slot.h"

namespace hbt {

struct NfeEvent;

inline constexpr uint32_t kExpectedDriverVersion = 115;
inline constexpr uint32_t kMaxEventAgeSeconds = 5;

// Whether NfeOpenDevice logs a device that no engine serves, as is expected
// while a restarted engine is not up yet.
enum class AbsentEngineLog { kLog, kQuiet };

class NfeDeviceClient {
public:
    // Opens the device; on failure returns nullptr and the Win32 error.
    using DeviceOpener = std::function<std::unique_ptr<EngineDevice>(uint32_t& win32Error)>;

    explicit NfeDeviceClient(DeviceOpener opener);
    ~NfeDeviceClient();

    // Opens the device and checks the engine's version; logs why when it fails.
    bool NfeOpenDevice(AbsentEngineLog absent = AbsentEngineLog::kLog);
    // Closes the device; a request still waiting completes with an error.
    void CloseDevice();
    bool IsOpen() const;

    NfeDriverError GetDriverVersion(uint32_t& version);
    NfeDriverError SetConfig(uint32_t processId, const std::vector<std::vector<uint8_t>>& patterns,
                             const std::vector<std::vector<uint8_t>>& masks);
    // The destination ports whose connects the engine holds for us.
    NfeDriverError SetPortRules(const NfePortRules& rules);
    NfeDriverError Start();
    NfeDriverError Stop();
    // Fills `buffer` (which only ever grows) with one event; bytesReturned is its size.
    NfeDriverError GetEvent(std::vector<uint8_t>& buffer, uint32_t& bytesReturned);
    // As GetEvent, but with as many whole events as the buffer holds, one
    // after the other (one at a time from an engine without batches).
    NfeDriverError GetEvents(std::vector<uint8_t>& buffer, uint32_t& bytesReturned);
    NfeDriverError ProcessRedirect(uint32_t idLow, uint32_t idHigh, const SocketAddressSlot& newDestination,
                                   uint32_t answerFlags);

    struct RedirectAnswer {
        uint64_t redirectRequestId = 0;
        SocketAddressSlot newDestination;
        uint32_t answerFlags = 0;
    };
    // Sends the answers in one request; `results` gets the result of each, in their order.
    void ProcessRedirects(const std::vector<RedirectAnswer>& answers, std::vector<NfeDriverError>& results);
    NfeDriverError FlowOperation(uint32_t idLow, uint32_t idHigh, uint32_t operation, uint32_t streamFlags,
                                 const std::vector<uint8_t>& data);

    // Flow wrappers: each writes its own level-1 line on failure.
    bool DetachFlow(const NfeEvent& event, const std::string& description, const std::wstring& applicationPath);
    bool CloseFlow(const NfeEvent& event, const std::string& description, const std::wstring& applicationPath);
    bool InjectOut(const NfeEvent& event, const std::string& description, const std::wstring& applicationPath,
                   const std::vector<uint8_t>& data);
    bool InjectIn(const NfeEvent& event, const std::string& description, const std::wstring& applicationPath,
                  const std::vector<uint8_t>& data);
    bool Reinject(const NfeEvent& event, const std::string& description, const std::wstring& applicationPath,
                  uint32_t streamFlags, const std::vector<uint8_t>& data);

private:
    NfeDriverError Request(uint32_t controlCode, std::vector<uint8_t> input, std::vector<uint8_t>* output,
                           uint32_t& bytesReturned);
    // A get-event request of this code, asked again once with a buffer as
    // large as the engine reported too small.
    NfeDriverError RequestEvents(uint32_t controlCode, std::vector<uint8_t>& buffer, uint32_t& bytesReturned);
    // Sends the `named` answers that name a request in one request; false when
    // the engine predates batches and nothing was answered.
    bool SendRedirectBatch(const std::vector<RedirectAnswer>& answers, std::size_t named,
                           std::vector<NfeDriverError>& results);
    // Whether a batched request was refused as unknown: the engine then
    // predates them, and gets the single requests from then on.
    bool RefusedAsUnknown(const NfeDriverError& error);
    bool FlowWrapper(const NfeEvent& event, const std::string& description, const std::wstring& applicationPath,
                     uint32_t operation, uint32_t streamFlags, const std::vector<uint8_t>& data,
                     const std::string& failureText);

    DeviceOpener opener_;
    std::atomic<bool> batches_{true};
    mutable std::mutex deviceMutex_;
    std::shared_ptr<EngineDevice> device_;
};

}  // namespace hbt
