// The device-control dispatcher of the engine: one function per control code,
// each checking its record before acting.
#include "HbtEngineDrv/engine/nfe_engine.h"
#include "engine_protocol/byte_order.h"
#include "engine_protocol/nfe_counters.h"
#include "engine_protocol/nfe_flow_operation.h"
#include "engine_protocol/nfe_port_rules.h"
#include "engine_protocol/nfe_protocol.h"

namespace hbt {

void NfeEngine::DeviceControl(uint32_t controlCode, const std::vector<uint8_t>& input, uint32_t outputCapacity,
                              DeviceCompletion done) {
    DeviceReply reply;
    switch (controlCode) {
        case NFE_IOCTL_START:
            reply.status = Start();
            break;
        case NFE_IOCTL_STOP:
            if (IsActive()) {
                Stop(false);
            } else {
                reply.status = kStatusServerDisabled;
            }
            break;
        case NFE_IOCTL_GET_VERSION: {
            std::vector<uint8_t> version(4);
            PutU32(version.data(), NFE_VERSION);
            reply = FixedOutput(std::move(version), outputCapacity);
            break;
        }
        case NFE_IOCTL_SET_CONFIG:
            reply.status = SetConfig(input);
            break;
        case NFE_IOCTL_GET_EVENT:
        case NFE_IOCTL_GET_EVENTS: {
            const auto take = controlCode == NFE_IOCTL_GET_EVENTS ? EventQueue::Take::kAllThatFit
                                                                  : EventQueue::Take::kOne;
            std::optional<DeviceReply> now = queue_.GetOrWait(outputCapacity, take, done);
            if (!now) return;  // waits for an event
            reply = std::move(*now);
            break;
        }
        case NFE_IOCTL_PROCESS_REDIRECT:
            reply.status = ProcessRedirect(input);
            break;
        case NFE_IOCTL_PROCESS_REDIRECTS:
            reply = ProcessRedirects(input, outputCapacity);
            break;
        case NFE_IOCTL_GET_COUNTERS: {
            NfeCounters counters;
            counters.flowContexts = static_cast<uint32_t>(flows_.Count());
            counters.redirectRequests = static_cast<uint32_t>(redirector_.PendingCount());
            reply = FixedOutput(counters.Encode(), outputCapacity);
            break;
        }
        case NFE_IOCTL_FLOW_OPERATION:
            reply.status = FlowOperation(input);
            break;
        case NFE_IOCTL_SET_PORT_RULES:
            reply.status = SetPortRules(input);
            break;
        default:
            reply.status = kStatusInvalidParameter;
            break;
    }
    const uint32_t status = reply.status;
    if (!NfeSucceeded(status) && status != kStatusBufferTooSmall && status != kStatusServerDisabled &&
        status != kStatusCancelled) {
        Message("346:Error at NfeEvtIoDeviceControl", status, controlCode);
    }
    done(std::move(reply));
}

DeviceReply NfeEngine::FixedOutput(std::vector<uint8_t> record, uint32_t outputCapacity) {
    DeviceReply reply;
    reply.information = static_cast<uint32_t>(record.size());
    if (outputCapacity < record.size()) {
        reply.status = kStatusBufferTooSmall;
    } else {
        reply.output = std::move(record);
    }
    return reply;
}

uint32_t NfeEngine::SetConfig(const std::vector<uint8_t>& input) {
    namespace off = nfe_config_offset;
    if (input.size() != kNfeConfigSize) return kStatusInvalidBufferSize;
    if (GetU32(&input[off::kSize]) != kNfeConfigSize) return kStatusInvalidParameter1;
    if (GetU32(&input[off::kInsertionDataLength]) > kNfeInsertionDataSize) return kStatusInvalidParameter2;
    if (input[off::kHostPatternsEnd1] != 0 || input[off::kHostPatternsEnd2] != 0) return kStatusInvalidParameter3;
    auto config = std::make_shared<const NfeConfig>(NfeConfig::Decode(input.data()));
    std::lock_guard lock(configMutex_);
    config_ = std::move(config);
    return kStatusSuccess;
}

uint32_t NfeEngine::SetPortRules(const std::vector<uint8_t>& input) {
    NfePortRules rules;
    const uint32_t status = NfePortRules::Decode(input.data(), input.size(), rules);
    if (!NfeSucceeded(status)) return status;
    return platform_.SetConnectPorts(rules) ? kStatusSuccess : kStatusUnsuccessful;
}

uint32_t NfeEngine::ProcessRedirect(const std::vector<uint8_t>& input) {
    if (!IsActive()) return kStatusServerDisabled;
    if (input.size() != kNfeEventHeaderSize) return kStatusInvalidBufferSize;
    return AnswerRecord(input.data());
}

uint32_t NfeEngine::AnswerRecord(const uint8_t* record) {
    if (!IsActive()) return kStatusServerDisabled;
    if (GetU32(record + nfe_event_offset::kHeaderSize) != kNfeEventHeaderSize) return kStatusInvalidParameter1;
    return redirector_.Answer(NfeEvent::DecodeAnswer(record));
}

DeviceReply NfeEngine::ProcessRedirects(const std::vector<uint8_t>& input, uint32_t outputCapacity) {
    DeviceReply reply;
    const std::size_t count = input.size() / kNfeEventHeaderSize;
    if (count == 0 || input.size() % kNfeEventHeaderSize != 0) {
        reply.status = kStatusInvalidBufferSize;
        return reply;
    }
    reply.information = static_cast<uint32_t>(4 * count);
    if (outputCapacity < reply.information) {
        reply.status = kStatusBufferTooSmall;
        return reply;
    }
    reply.output.resize(reply.information);
    // The connects answered here reach the network together.
    CompletionBatch batch(platform_);
    for (std::size_t i = 0; i < count; ++i) {
        const uint32_t status = AnswerRecord(input.data() + i * kNfeEventHeaderSize);
        if (!NfeSucceeded(status) && status != kStatusServerDisabled) {
            Message("346:Error at NfeEvtIoDeviceControl", status, NFE_IOCTL_PROCESS_REDIRECTS);
        }
        PutU32(reply.output.data() + 4 * i, status);
    }
    return reply;
}

uint32_t NfeEngine::FlowOperation(const std::vector<uint8_t>& input) {
    namespace off = nfe_flow_operation_offset;
    if (!IsActive()) return kStatusServerDisabled;
    if (input.size() < kNfeFlowOperationHeaderSize) return kStatusInvalidBufferSize;
    if (GetU32(&input[off::kHeaderSize]) != kNfeFlowOperationHeaderSize) return kStatusInvalidParameter1;
    if (GetU32(&input[off::kDataLength]) != input.size() - kNfeFlowOperationHeaderSize) {
        return kStatusInvalidParameter2;
    }
    std::optional<NfeFlowOperation> operation = NfeFlowOperation::Decode(input.data(), input.size());
    return flows_.Operation(*operation);
}

}  // namespace hbt
