#pragma once
// The one reader of engine events: answers each held connect (leave alone,
// redirect to the proxy, inspect), keeps the flow table of inspected
// connections and carries out their verdicts, logs the engine's messages and
// restarts the engine after it stopped itself or takes up a new one after it died.
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine_client/engine_event_host.h"
#include "engine_client/nfe_device_client.h"
#include "engine_client/refusal_folding.h"
#include "engine_protocol/nfe_event.h"
#include "engine_protocol/nfe_port_rules.h"

namespace hbt {

class CInterceptedTrafficProcessor;

enum class ConnectDecision { kLeaveAlone, kRedirect, kInspect };

// The interception decision for one held connect. A connect for the proxy
// is left alone while the proxy is full (the host is asked only then).
ConnectDecision DecideConnect(EngineEventHost& host, const SocketAddressSlot& destination,
                              const std::wstring& applicationPath);

// The destination ports of the connects DecideConnect may do more with than
// leave alone while ON; the engine holds only these, the others never reach us.
NfePortRules ConnectPortsToHold(const Preferences& preferences);

// "src->dst" as the log lines write a connection (IPv6 addresses in brackets).
std::string EventDescription(const NfeEvent& event);
std::string EventDescription(const SocketAddressSlot& source, const SocketAddressSlot& destination);

class CEngineEventLoop {
public:
    enum class StepResult { kHandled = 0, kReadFailed = 1, kHandledWithError = 2, kStop = 3, kEngineGone = 4 };
    // Waits the given time, or less when the core stops meanwhile.
    using Sleeper = std::function<void(std::chrono::milliseconds)>;
    // The time that refusal bursts are measured by; empty: the steady clock.
    using Clock = std::function<CRefusalFolding::Clock::time_point()>;

    CEngineEventLoop(EngineEventHost& host, NfeDeviceClient& client, Sleeper sleeper, Clock clock = {});
    // Writes the refusal lines still waiting for their window to pass.
    ~CEngineEventLoop();

    // The thread body: steps until the core stops, backing off 1, 2, 4, 8, 8 …
    // seconds after failed reads, and reopening a lost engine after 0.5, 1, 2,
    // 4, 5, 5 … seconds. A helper thread writes folded refusal lines meanwhile.
    void Run();
    StepResult Step();

    std::size_t FlowCount() const { return flows_.size(); }

private:
    // Records and flows of an engine that stopped mean nothing to the next one.
    void ForgetEngineState();
    // False when the core stopped before the engine came back.
    bool TakeUpRestartedEngine();
    // The next event of the batch read last into event_, reading a new batch
    // when it is used up; kHandled when event_ holds it.
    StepResult NextEvent();
    bool BatchUsedUp() const { return batchOffset_ >= batchEnd_; }
    StepResult Dispatch(const NfeEvent& event);
    StepResult OnMessage(const NfeEvent& event);
    StepResult OnConnect(const NfeEvent& event);
    StepResult OnFlowEstablished(const NfeEvent& event, const std::string& description);
    StepResult OnStreamData(const NfeEvent& event, const std::string& description);
    StepResult OnStreamClosing(const NfeEvent& event, CInterceptedTrafficProcessor& processor,
                               const std::string& description);
    StepResult OnFlowDeleted(const NfeEvent& event);
    // Sends the connect answers kept back while the batch lasted, in one request.
    StepResult SendAnswers();

    // A connect answer waiting for the end of its batch, with what its log
    // lines and records need.
    struct HeldAnswer {
        NfeDeviceClient::RedirectAnswer answer;
        ConnectDecision decision = ConnectDecision::kLeaveAlone;
        std::optional<uint64_t> record;
        uint32_t processId = 0;
        std::shared_ptr<const std::wstring> applicationPath;
        SocketAddressSlot source;  // the connection is described only for a line that is written
        SocketAddressSlot destination;
        bool loopback = false;
    };
    void ReportAnswer(const HeldAnswer& held, const NfeDriverError& error);
    // The event's application path, shared with the connect before it when
    // that came from the same application, as most connects do.
    std::shared_ptr<const std::wstring> ConnectingApplication(const NfeEvent& event);

    EngineEventHost& host_;
    NfeDeviceClient& client_;
    Sleeper sleeper_;
    std::vector<uint8_t> eventBuffer_;
    std::size_t batchOffset_ = 0;  // the next event in eventBuffer_
    std::size_t batchEnd_ = 0;     // where the batch read last ends
    NfeEvent event_;  // the event being handled; its data's room is reused
    std::vector<HeldAnswer> heldAnswers_;
    std::vector<NfeDeviceClient::RedirectAnswer> answers_;  // the held answers' records, as sent
    std::vector<NfeDriverError> answerResults_;
    std::vector<uint8_t> lastApplicationBytes_;  // the path of the last connect's application, as the engine sent it
    std::shared_ptr<const std::wstring> lastApplication_;
    std::map<uint64_t, std::shared_ptr<CInterceptedTrafficProcessor>> flows_;
    int redirectFailures_ = 0;
    Clock clock_;
    CRefusalFolding refusals_;
};

}  // namespace hbt
