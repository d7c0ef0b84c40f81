#pragma once
// EngineTestClient: the program's side of the engine device as the end-to-end
// tests need it: opens the socket with the program's own device client, sends
// a configuration, starts the engine, and keeps one get-event request
// outstanding on its own thread, collecting every event.
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine_client/nfe_device_client.h"
#include "engine_protocol/nfe_event.h"
#include "engine_protocol/nfe_port_rules.h"

namespace hbt::e2e {

class EngineTestClient {
public:
    ~EngineTestClient();

    // Opens, checks the version, configures (own process id, capture patterns
    // for TLS handshakes) and starts. False with the reason. A `stepwise`
    // client asks for the next event only when the test takes one (Next), as
    // the program's single event loop does; otherwise it reads all the time.
    bool Connect(const std::string& devicePath, uint32_t ownProcessId, bool stepwise, std::string* error);
    // Runs on the reading thread for each event as it arrives (set before Connect).
    std::function<void(EngineTestClient&, const NfeEvent&)> onEvent;
    void Close();

    // Waits for the first event after index `from` that satisfies `match`.
    std::optional<NfeEvent> WaitFor(const std::function<bool(const NfeEvent&)>& match, std::chrono::milliseconds timeout,
                                    std::size_t from = 0);
    std::vector<NfeEvent> Events();
    // Stepwise: the next event, or nullopt after the timeout.
    std::optional<NfeEvent> Next(std::chrono::milliseconds timeout);

    NfeDriverError Answer(const NfeEvent& connect, uint32_t flags, const SocketAddressSlot& newDestination = {});
    NfeDriverError Inject(const NfeEvent& stream, uint32_t flags, const std::vector<uint8_t>& data);
    NfeDriverError Detach(const NfeEvent& stream);
    NfeDriverError SetPortRules(const NfePortRules& rules);

private:
    void ReadEvents();

    std::unique_ptr<NfeDeviceClient> client_;
    std::thread reader_;
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::vector<NfeEvent> events_;
    bool closed_ = false;
    bool stepwise_ = false;
    std::size_t taken_ = 0;   // events handed out by Next
    std::size_t credits_ = 0;  // get-event requests the test asked for
};

// Readable texts for assertions.
std::string AddressText(const SocketAddressSlot& slot);
std::string Utf8(const std::u16string& text);

}  // namespace hbt::e2e
