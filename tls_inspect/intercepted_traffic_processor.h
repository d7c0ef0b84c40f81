#pragma once
// The per-flow judge of an inspected connection. It holds back what each side
// sends until the first record of that side has been judged, and says what the
// engine client has to do: deliver bytes in, send bytes out, close the flow
// (block) or let it run on untouched (bypass).
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "engine_protocol/socket_address_slot.h"
#include "log/log.h"
#include "rules/preferences.h"
#include "tls_inspect/tls_record_state.h"

namespace hbt {

// Why a flow was refused, for its log line. The line is written by whoever
// carries out the verdict, so that a client's retries can share one line.
struct RefusalLine {
    int32_t level = kLogNormal;
    uint64_t processId = 0;
    std::wstring applicationPath;
    std::string description;
    std::string host;    // empty when the hello named none
    std::string reason;  // "insecure TLS 1.0", "disallowed cipher suite …"
};

// description + " (" + host + ")" (the host as a link) + " (block: " + reason
// + ")", and " (3 times)" when times is above 1.
void WriteRefusalLine(const RefusalLine& refusal, unsigned times);

// What one data operation asks of the engine client, as plain values.
struct FlowVerdict {
    std::vector<uint8_t> deliverIn;  // inject towards the local application
    std::vector<uint8_t> sendOut;    // inject towards the server
    bool block = false;              // close the flow
    bool bypass = false;             // detach from the flow
    std::optional<RefusalLine> refusal;  // set with block
};

enum class FlowState { kInspecting = 1, kClosed = 2, kDetached = 3 };

class CInterceptedTrafficProcessor {
public:
    explicit CInterceptedTrafficProcessor(uint64_t flowId);

    // Who the flow belongs to; `description` prefixes every log line.
    void SetFlowInfo(const SocketAddressSlot& remoteAddress, std::string description, uint64_t processId,
                     std::wstring applicationPath);

    // A segment the local application sent (only while inspecting).
    void OutgoingData(std::span<const uint8_t> data, const Preferences& preferences, FlowVerdict& verdict);
    // A segment the local application is to receive (only while inspecting).
    bool IncomingData(std::span<const uint8_t> data, const Preferences& preferences, FlowVerdict& verdict);
    // Gives every held byte back (incoming to deliverIn, outgoing to sendOut) and detaches.
    void Release(FlowVerdict& verdict);
    // The flow is gone; reports a flow that ended before it could be judged.
    void Finish();
    // The connection is closing: marks the flow closed and hands every held
    // byte back (incoming to deliverIn, outgoing to sendOut) to be passed on.
    void CloseAndTakeHeld(FlowVerdict& held);

    uint64_t FlowId() const { return flowId_; }
    FlowState State() const { return state_; }
    const std::string& Host() const { return host_; }
    const std::vector<uint16_t>& ClientVersions() const { return clientVersions_; }
    const SocketAddressSlot& RemoteAddress() const { return remoteAddress_; }
    const std::string& Description() const { return description_; }
    const std::wstring& ApplicationPath() const { return applicationPath_; }
    std::size_t HeldOutgoingSize() const { return heldOutgoing_.size(); }
    std::size_t HeldIncomingSize() const { return heldIncoming_.size(); }

private:
    enum class Side { kClient, kServer };

    bool JudgeRecord(Side side, const Preferences& preferences, FlowVerdict& verdict, bool& needMore);
    bool ParseHttpsHeader(TlsRecordState& state, const uint8_t* data, std::size_t& available, bool& needMore);
    bool Decide(const TlsRecordState& state, const Preferences& preferences, FlowVerdict& verdict);
    // What a refused hello's sender receives: the SSL 2 error message, or a
    // fatal alert of the given description.
    std::vector<uint8_t> Refusal(uint8_t alert) const;

    RefusalLine Refused(int32_t level, std::string reason) const;
    CLog Log(int32_t level) const;
    // " (" + host + ")" with the host as a link, when there is a host.
    void WriteHost(CLog& line) const;

    SocketAddressSlot remoteAddress_;
    uint64_t processId_ = 0;
    std::wstring applicationPath_;
    std::string description_;
    uint64_t flowId_;
    TlsRecordState clientState_;
    TlsRecordState serverState_;
    bool isHttp_ = false;
    bool isTls_ = false;
    bool clientHelloPassed_ = false;
    FlowState state_ = FlowState::kInspecting;
    std::vector<uint16_t> clientVersions_;
    std::string host_;
    std::vector<uint8_t> heldOutgoing_;
    std::vector<uint8_t> heldIncoming_;
    uint8_t serverRefusalAlert_ = kAlertHandshakeFailure;
};

}  // namespace hbt
