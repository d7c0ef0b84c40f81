#include "tls_inspect/intercepted_traffic_processor.h"

#include <cstring>

#include "tls_inspect/cipher_policy.h"
#include "tls_inspect/https_header_parser.h"
#include "tls_inspect/tls_version_names.h"

namespace hbt {
namespace {

constexpr std::size_t kMinRecordBytes = 6;
constexpr uint16_t kSsl2 = 0x0200;

bool StartsLikeHttp(std::span<const uint8_t> data) {
    static const char* const kMethods[] = {"OPT", "GET", "HEA", "POS", "PUT", "DEL", "TRA", "CON"};
    for (const char* method : kMethods) {
        if (std::memcmp(data.data(), method, 3) == 0) return true;
    }
    return false;
}

bool IsSsl2Only(const std::vector<uint16_t>& versions) { return versions.size() == 1 && versions[0] == kSsl2; }

void MoveBytes(std::vector<uint8_t>& from, std::vector<uint8_t>& to) {
    if (to.empty()) {
        to.swap(from);
    } else {
        to.insert(to.end(), from.begin(), from.end());
    }
    from.clear();
}

}  // namespace

CInterceptedTrafficProcessor::CInterceptedTrafficProcessor(uint64_t flowId) : flowId_(flowId) {}

void CInterceptedTrafficProcessor::SetFlowInfo(const SocketAddressSlot& remoteAddress, std::string description,
                                               uint64_t processId, std::wstring applicationPath) {
    remoteAddress_ = remoteAddress;
    description_ = std::move(description);
    processId_ = processId;
    applicationPath_ = std::move(applicationPath);
}

void WriteRefusalLine(const RefusalLine& refusal, unsigned times) {
    CLog line(refusal.level, refusal.processId, refusal.applicationPath.c_str());
    line << refusal.description;
    if (!refusal.host.empty() && line.Enabled()) line << LogUrl{"hbturl", refusal.host, " (", ")", 0};
    line << " (block: " << refusal.reason << ")";
    if (times > 1) line << " (" << times << " times)";
}

RefusalLine CInterceptedTrafficProcessor::Refused(int32_t level, std::string reason) const {
    return {level, processId_, applicationPath_, description_, host_, std::move(reason)};
}

CLog CInterceptedTrafficProcessor::Log(int32_t level) const {
    return CLog(level, processId_, applicationPath_.c_str());
}

void CInterceptedTrafficProcessor::WriteHost(CLog& line) const {
    if (!host_.empty() && line.Enabled()) line << LogUrl{"hbturl", host_, " (", ")", 0};
}

void CInterceptedTrafficProcessor::OutgoingData(std::span<const uint8_t> data, const Preferences& preferences,
                                                FlowVerdict& verdict) {
    heldOutgoing_.insert(heldOutgoing_.end(), data.begin(), data.end());
    // After a client hello went on, everything waits for the server's answer.
    if (clientHelloPassed_) return;

    if (!isHttp_ && !isTls_) {
        if (data.size() < kMinRecordBytes) {
            Release(verdict);
            verdict.bypass = true;
            Log(kLogVerbose) << description_ << " (bypass: unknown protocol with length " << data.size();
            return;
        }
        (StartsLikeHttp(data) ? isHttp_ : isTls_) = true;
    }
    if (isHttp_) {
        state_ = FlowState::kDetached;
        verdict.bypass = true;
        const bool connect = std::memcmp(heldOutgoing_.data(), "CON", 3) == 0;
        Log(kLogVerbose) << description_
                         << (connect ? " (bypass: HTTP method CONNECT)" : " (bypass: HTTP on non-HTTP port)");
        Release(verdict);
        return;
    }

    bool needMore = false;
    if (!JudgeRecord(Side::kClient, preferences, verdict, needMore)) {
        if (needMore) return;
        Release(verdict);
        verdict.bypass = true;
        Log(kLogVerbose) << description_ << " (bypass: unknown SSL protocol, flowId=" << flowId_ << ")";
        return;
    }
    if (verdict.bypass) {
        Release(verdict);
    } else if (verdict.block) {
        verdict.deliverIn = Refusal(kAlertHandshakeFailure);
        state_ = FlowState::kClosed;
    } else {
        // The client hello goes on to the server; the flow stays inspected.
        MoveBytes(heldOutgoing_, verdict.sendOut);
        clientHelloPassed_ = true;
    }
}

bool CInterceptedTrafficProcessor::IncomingData(std::span<const uint8_t> data, const Preferences& preferences,
                                                FlowVerdict& verdict) {
    heldIncoming_.insert(heldIncoming_.end(), data.begin(), data.end());
    if (heldIncoming_.empty()) return true;

    bool needMore = false;
    if (JudgeRecord(Side::kServer, preferences, verdict, needMore)) {
        // A judged server record always ends in block or bypass. A blocked
        // answer is dropped with the flow: nothing of it reaches the
        // application but an alert that says why, so that a client does not
        // take the cut for a network fault and try again.
        if (verdict.block) {
            heldIncoming_.clear();
            verdict.deliverIn = Refusal(serverRefusalAlert_);
            state_ = FlowState::kClosed;
        } else {
            Release(verdict);
        }
    } else if (!needMore) {
        verdict.bypass = true;
        Release(verdict);
        Log(kLogVerbose) << description_ << " (bypass: unknown SSL protocol)";
    }
    return true;
}

void CInterceptedTrafficProcessor::Release(FlowVerdict& verdict) {
    MoveBytes(heldIncoming_, verdict.deliverIn);
    MoveBytes(heldOutgoing_, verdict.sendOut);
    state_ = FlowState::kDetached;
}

void CInterceptedTrafficProcessor::CloseAndTakeHeld(FlowVerdict& held) {
    MoveBytes(heldIncoming_, held.deliverIn);
    MoveBytes(heldOutgoing_, held.sendOut);
    state_ = FlowState::kClosed;
}

void CInterceptedTrafficProcessor::Finish() {
    if (state_ != FlowState::kInspecting) return;
    if (!heldOutgoing_.empty() || !heldIncoming_.empty()) {
        Log(kLogVerbose) << description_ << " connection destroyed but data left " << heldOutgoing_.size() << "/"
                         << heldIncoming_.size();
    }
    Log(kLogVerbose) << description_ << " (bypass: undetected protocol)";
}

bool CInterceptedTrafficProcessor::ParseHttpsHeader(TlsRecordState& state, const uint8_t* data,
                                                    std::size_t& available, bool& needMore) {
    ParseFault fault = ParseFault::kNone;
    const bool recognised = hbt::ParseHttpsHeader(state, data, available, needMore, host_, fault);
    if (fault == ParseFault::kSessionIdLengthIncorrect) {
        CLog(kLogAlways) << "CInterceptedTrafficProcessor::ParseHttpsHeader" << ": " << " session id length is incorrect";
    }
    return recognised;
}

bool CInterceptedTrafficProcessor::JudgeRecord(Side side, const Preferences& preferences, FlowVerdict& verdict,
                                               bool& needMore) {
    const bool client = side == Side::kClient;
    std::vector<uint8_t>& held = client ? heldOutgoing_ : heldIncoming_;
    TlsRecordState& state = client ? clientState_ : serverState_;
    needMore = false;

    std::size_t available = held.size();
    if (available == 0) return false;
    if (available < kMinRecordBytes) {
        Log(kLogVerbose) << description_ << " (bypass: no HTTPS)";
        verdict.bypass = true;
        state_ = FlowState::kDetached;
        return false;
    }
    // Every attempt reads all held bytes again, so it starts from a clean state.
    state = TlsRecordState{};
    if (!ParseHttpsHeader(state, held.data(), available, needMore)) return false;

    if (state.contentType == kContentTypeAlert) {
        Log(kLogVerbose) << description_ << " (bypass: SSL message type: alert)";
        verdict.bypass = true;
        return true;
    }
    if (state.contentType != kContentTypeHandshake) return false;

    if (client) {
        if (available > state.recordLength + 6) {
            state_ = FlowState::kDetached;
            verdict.bypass = true;
            CLog line = Log(kLogVerbose);
            line << description_;
            WriteHost(line);
            line << " (bypass: no HTTPS data)";
            return true;
        }
        if (!host_.empty() && preferences.IsHostExcluded(host_)) {
            state_ = FlowState::kDetached;
            verdict.bypass = true;
            CLog line = Log(kLogVerbose);
            line << description_;
            WriteHost(line);
            line << " (bypass: hostname excluded)";
            return true;
        }
    }

    if (!TlsPolicyAllowsVersions(preferences, state.versions)) {
        state_ = FlowState::kClosed;
        verdict.block = true;
        serverRefusalAlert_ = kAlertProtocolVersion;
        verdict.refusal = Refused(kLogNormal, "insecure " + TlsVersionListText(state.versions));
        return true;
    }

    if (client) {
        if (clientVersions_.empty()) clientVersions_ = state.versions;
        // Only an SSL 2-only hello is decided without the server's answer.
        if (!IsSsl2Only(state.versions)) return true;
    } else if (clientVersions_.empty()) {
        verdict.bypass = true;
        state_ = FlowState::kDetached;
        Log(kLogVerbose) << description_ << " (bypass - no HTTPS";
        return true;
    }
    return Decide(state, preferences, verdict);
}

bool CInterceptedTrafficProcessor::Decide(const TlsRecordState& state, const Preferences& preferences,
                                          FlowVerdict& verdict) {
    state_ = FlowState::kDetached;
    verdict.bypass = true;
    std::string versions = TlsVersionListText(state.versions);
    if (!IsSsl2Only(state.versions)) {
        const uint16_t code = state.CipherSuiteCode();
        versions += ", " + CipherSuiteText(code);
        if (!TlsPolicyAllowsCipherSuite(preferences, code)) {
            verdict.refusal = Refused(kLogVerbose, "disallowed cipher suite " + versions);
            serverRefusalAlert_ = kAlertHandshakeFailure;
            state_ = FlowState::kClosed;
            verdict.block = true;
            verdict.bypass = false;
            return true;
        }
    }
    CLog line = Log(kLogVerbose);
    line << description_;
    WriteHost(line);
    line << " (" << versions << ")";
    return true;
}

std::vector<uint8_t> CInterceptedTrafficProcessor::Refusal(uint8_t alert) const {
    if (clientState_.versionMajor < 3) return {0x80, 0x03, 0x00, 0x00, 0x01};  // SSL 2 error message
    // A fatal alert in the client's own record version.
    return {kContentTypeAlert, clientState_.versionMajor, clientState_.versionMinor, 0x00, 0x02, 0x02, alert};
}

}  // namespace hbt
