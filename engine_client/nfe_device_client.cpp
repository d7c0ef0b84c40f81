#include "engine_client/nfe_device_client.h"

#include <condition_variable>
#include <cstring>

#include "engine_protocol/byte_order.h"
#include "engine_protocol/nfe_config.h"
#include "engine_protocol/nfe_event.h"
#include "engine_protocol/nfe_flow_operation.h"
#include "engine_protocol/nfe_protocol.h"
#include "log/log.h"

namespace hbt {

namespace {

constexpr uint32_t kWin32InvalidHandle = 6;
constexpr uint32_t kWin32InvalidParameter = 87;
constexpr uint32_t kWin32InsufficientBuffer = 122;
constexpr std::size_t kMaxPatternLength = 256;
constexpr std::size_t kCaptureAreaLimit = 99;

NfeDriverError BadArguments() { return NfeDriverError::Make(NfeErrorKind::kBadArguments, "Incorrect input parameters"); }

// Only a get-event request waits inside the engine; its failure after waiting
// (the device closed under it) is a failed wait, every other failure a refused request.
NfeDriverError FailureFor(uint32_t controlCode, uint32_t status) {
    const uint32_t code = Win32ErrorFromStatus(status);
    const bool getEvent = controlCode == NFE_IOCTL_GET_EVENT || controlCode == NFE_IOCTL_GET_EVENTS;
    if (getEvent && status == kStatusCancelled) {
        return NfeDriverError::Make(NfeErrorKind::kWaitFailed, "GetOverlappedResult failed with error " +
                                                                  std::to_string(code), code);
    }
    return NfeDriverError::Make(NfeErrorKind::kRequestFailed, "DeviceIoControl failed with error " +
                                                                 std::to_string(code), code);
}

NfeDriverError WrongByteCount() {
    return NfeDriverError::Make(NfeErrorKind::kWrongByteCount, "Incorrect number of bytes returned");
}

// Checks the event at the start of `available` bytes, which it must fill
// exactly or (not `exact`) end no later than they do; `size` is set to its size.
NfeDriverError CheckEventAt(const uint8_t* bytes, uint32_t available, bool exact, uint32_t& size) {
    if (available < kNfeEventHeaderSize) return WrongByteCount();
    const uint32_t headerSize = GetU32(bytes + nfe_event_offset::kHeaderSize);
    if (headerSize != kNfeEventHeaderSize) {
        return NfeDriverError::Make(NfeErrorKind::kWrongHeaderSize, "Incorrect size returned " +
                                                                      std::to_string(headerSize) + " (must be " +
                                                                      std::to_string(kNfeEventHeaderSize) + ")");
    }
    const uint32_t dataLength = GetU32(bytes + nfe_event_offset::kDataLength);
    const uint64_t total = uint64_t{kNfeEventHeaderSize} + dataLength;
    if (exact ? total != available : total > available) {
        return NfeDriverError::Make(NfeErrorKind::kWrongDataSize,
                                    "Incorrect data size returned " + std::to_string(dataLength) + " (must be " +
                                        std::to_string(available - kNfeEventHeaderSize) + ")");
    }
    size = static_cast<uint32_t>(total);
    return {};
}

// Where a request's reply is handed to the thread that waits for it; on the
// waiting thread's stack, so a request costs no shared state on the heap.
class ReplySlot {
public:
    void Fill(DeviceReply reply) {
        std::lock_guard lock(mutex_);
        reply_ = std::move(reply);
        filled_ = true;
        filledSignal_.notify_one();  // under the lock: the slot may be gone once it is released
    }
    DeviceReply Wait() {
        std::unique_lock lock(mutex_);
        filledSignal_.wait(lock, [this] { return filled_; });
        return std::move(reply_);
    }

private:
    std::mutex mutex_;
    std::condition_variable filledSignal_;
    DeviceReply reply_;
    bool filled_ = false;
};

void LogReinstall(const std::string& first, const char* second) {
    CLog(kLogError) << first;
    CLog(kLogError) << second;
}

}  // namespace

NfeDeviceClient::NfeDeviceClient(DeviceOpener opener) : opener_(std::move(opener)) {}

NfeDeviceClient::~NfeDeviceClient() { CloseDevice(); }

bool NfeDeviceClient::NfeOpenDevice(AbsentEngineLog absent) {
    uint32_t win32Error = 0;
    std::unique_ptr<EngineDevice> device = opener_(win32Error);
    if (!device) {
        if (absent == AbsentEngineLog::kQuiet) return false;
        LogReinstall("NfeOpenDevice failed with error CreateFileW failed with error " + std::to_string(win32Error),
                     "If the problem persists please reinstall Harbinet");
        return false;
    }
    {
        std::lock_guard lock(deviceMutex_);
        device_ = std::move(device);
    }
    uint32_t version = 0;
    NfeDriverError error = GetDriverVersion(version);
    if (!error.Succeeded()) {
        LogReinstall("GetDriverVersion failed with error " + error.message,
                     "If the problem persists please reinstall Harbinet");
        return false;
    }
    if (version != kExpectedDriverVersion) {
        LogReinstall("Driver version must be " + std::to_string(kExpectedDriverVersion), "Please reinstall Harbinet");
        return false;
    }
    return true;
}

void NfeDeviceClient::CloseDevice() {
    std::shared_ptr<EngineDevice> device;
    {
        std::lock_guard lock(deviceMutex_);
        device.swap(device_);
    }
    if (device) device->Close();
}

bool NfeDeviceClient::IsOpen() const {
    std::lock_guard lock(deviceMutex_);
    return device_ != nullptr;
}

NfeDriverError NfeDeviceClient::Request(uint32_t controlCode, std::vector<uint8_t> input,
                                        std::vector<uint8_t>* output, uint32_t& bytesReturned) {
    bytesReturned = 0;
    std::shared_ptr<EngineDevice> device;
    {
        std::lock_guard lock(deviceMutex_);
        device = device_;
    }
    if (!device) {
        return NfeDriverError::Make(NfeErrorKind::kRequestFailed,
                                    "DeviceIoControl failed with error " + std::to_string(kWin32InvalidHandle),
                                    kWin32InvalidHandle);
    }
    ReplySlot slot;
    const uint32_t capacity = output ? static_cast<uint32_t>(output->size()) : 0;
    device->Submit(controlCode, std::move(input), capacity, [&slot](DeviceReply reply) { slot.Fill(std::move(reply)); });
    DeviceReply reply = slot.Wait();
    if (!NfeSucceeded(reply.status)) {
        bytesReturned = reply.information;  // the size needed, for buffer-too-small
        return FailureFor(controlCode, reply.status);
    }
    const std::size_t n = std::min<std::size_t>(reply.output.size(), capacity);
    if (output && n > 0) std::memcpy(output->data(), reply.output.data(), n);
    bytesReturned = static_cast<uint32_t>(n);
    return {};
}

NfeDriverError NfeDeviceClient::GetDriverVersion(uint32_t& version) {
    std::vector<uint8_t> output(4);
    uint32_t bytes = 0;
    NfeDriverError error = Request(NFE_IOCTL_GET_VERSION, {}, &output, bytes);
    if (!error.Succeeded()) return error;
    if (bytes != 4) return NfeDriverError::Make(NfeErrorKind::kWrongByteCount, "Incorrect number of bytes returned");
    version = GetU32(output.data());
    return {};
}

NfeDriverError NfeDeviceClient::SetConfig(uint32_t processId, const std::vector<std::vector<uint8_t>>& patterns,
                                          const std::vector<std::vector<uint8_t>>& masks) {
    NfeConfig config;
    config.processId = processId;
    config.maxEventAgeSeconds = kMaxEventAgeSeconds;
    if (patterns.size() != masks.size()) {
        return NfeDriverError::Make(NfeErrorKind::kMaskMismatch, "Mask size does not match");
    }
    std::size_t i = 0;
    for (std::size_t p = 0; p < patterns.size(); ++p) {
        const std::size_t length = patterns[p].size();
        if (length >= kMaxPatternLength) return NfeDriverError::Make(NfeErrorKind::kPatternTooBig, "Pattern is too big");
        if (i + length + 1 > kCaptureAreaLimit) {
            return NfeDriverError::Make(NfeErrorKind::kPatternsTooBig, "Patterns are too big");
        }
        if (masks[p].size() != length) {
            return NfeDriverError::Make(NfeErrorKind::kMaskMismatch, "Mask does not match the pattern");
        }
        config.capturePatterns[i] = static_cast<uint8_t>(length);
        config.captureMasks[i] = static_cast<uint8_t>(length);
        ++i;
        for (std::size_t b = 0; b < length; ++b, ++i) {
            config.capturePatterns[i] = patterns[p][b];
            config.captureMasks[i] = masks[p][b];
        }
    }
    uint32_t bytes = 0;
    return Request(NFE_IOCTL_SET_CONFIG, config.Encode(), nullptr, bytes);
}

NfeDriverError NfeDeviceClient::SetPortRules(const NfePortRules& rules) {
    uint32_t bytes = 0;
    return Request(NFE_IOCTL_SET_PORT_RULES, rules.Encode(), nullptr, bytes);
}

NfeDriverError NfeDeviceClient::Start() {
    uint32_t bytes = 0;
    return Request(NFE_IOCTL_START, {}, nullptr, bytes);
}

NfeDriverError NfeDeviceClient::Stop() {
    uint32_t bytes = 0;
    return Request(NFE_IOCTL_STOP, {}, nullptr, bytes);
}

NfeDriverError NfeDeviceClient::RequestEvents(uint32_t controlCode, std::vector<uint8_t>& buffer,
                                              uint32_t& bytesReturned) {
    NfeDriverError error = Request(controlCode, {}, &buffer, bytesReturned);
    if (!error.Succeeded() && error.code == kWin32InsufficientBuffer) {
        // No event is larger than its header and the engine's data limit: a
        // larger size is not the engine's, and not worth the memory.
        if (bytesReturned > kNfeEventHeaderSize + kNfeEventMaxDataLength) return WrongByteCount();
        if (bytesReturned > buffer.size()) buffer.resize(bytesReturned);
        error = Request(controlCode, {}, &buffer, bytesReturned);
    }
    if (!error.Succeeded()) return error;
    if (bytesReturned == 0) return NfeDriverError::Make(NfeErrorKind::kNoEvent, "");
    return {};
}

NfeDriverError NfeDeviceClient::GetEvent(std::vector<uint8_t>& buffer, uint32_t& bytesReturned) {
    NfeDriverError error = RequestEvents(NFE_IOCTL_GET_EVENT, buffer, bytesReturned);
    if (!error.Succeeded()) return error;
    uint32_t size = 0;
    return CheckEventAt(buffer.data(), bytesReturned, true, size);
}

NfeDriverError NfeDeviceClient::GetEvents(std::vector<uint8_t>& buffer, uint32_t& bytesReturned) {
    if (!batches_) return GetEvent(buffer, bytesReturned);
    NfeDriverError error = RequestEvents(NFE_IOCTL_GET_EVENTS, buffer, bytesReturned);
    if (RefusedAsUnknown(error)) return GetEvent(buffer, bytesReturned);
    if (!error.Succeeded()) return error;
    // Every event whole, the last one ending where the bytes do.
    for (uint32_t offset = 0, size = 0; offset < bytesReturned; offset += size) {
        error = CheckEventAt(buffer.data() + offset, bytesReturned - offset, false, size);
        if (!error.Succeeded()) return error;
    }
    return {};
}

bool NfeDeviceClient::RefusedAsUnknown(const NfeDriverError& error) {
    if (error.kind != NfeErrorKind::kRequestFailed || error.code != kWin32InvalidParameter) return false;
    batches_ = false;
    return true;
}

NfeDriverError NfeDeviceClient::ProcessRedirect(uint32_t idLow, uint32_t idHigh,
                                                const SocketAddressSlot& newDestination, uint32_t answerFlags) {
    if (idLow == 0 && idHigh == 0) return BadArguments();
    std::vector<uint8_t> answer =
        NfeEvent::EncodeAnswer((uint64_t{idHigh} << 32) | idLow, answerFlags, newDestination);
    uint32_t bytes = 0;
    return Request(NFE_IOCTL_PROCESS_REDIRECT, std::move(answer), nullptr, bytes);
}

void NfeDeviceClient::ProcessRedirects(const std::vector<RedirectAnswer>& answers,
                                       std::vector<NfeDriverError>& results) {
    results.assign(answers.size(), NfeDriverError{});
    std::size_t named = 0;  // the answers that name a request
    for (std::size_t i = 0; i < answers.size(); ++i) {
        if (answers[i].redirectRequestId == 0) {
            results[i] = BadArguments();
        } else {
            ++named;
        }
    }
    if (batches_ && named > 1 && SendRedirectBatch(answers, named, results)) return;
    for (std::size_t i = 0; i < answers.size(); ++i) {
        const RedirectAnswer& a = answers[i];
        if (a.redirectRequestId == 0) continue;
        results[i] = ProcessRedirect(static_cast<uint32_t>(a.redirectRequestId),
                                     static_cast<uint32_t>(a.redirectRequestId >> 32), a.newDestination,
                                     a.answerFlags);
    }
}

bool NfeDeviceClient::SendRedirectBatch(const std::vector<RedirectAnswer>& answers, std::size_t named,
                                        std::vector<NfeDriverError>& results) {
    std::vector<uint8_t> input(named * kNfeEventHeaderSize);
    std::size_t k = 0;
    for (const RedirectAnswer& a : answers) {
        if (a.redirectRequestId == 0) continue;
        NfeEvent::EncodeAnswerTo(input.data() + kNfeEventHeaderSize * k++, a.redirectRequestId, a.answerFlags,
                                 a.newDestination);
    }
    std::vector<uint8_t> statuses(4 * named);
    uint32_t bytes = 0;
    const NfeDriverError error = Request(NFE_IOCTL_PROCESS_REDIRECTS, std::move(input), &statuses, bytes);
    if (RefusedAsUnknown(error)) return false;
    k = 0;
    for (std::size_t i = 0; i < answers.size(); ++i) {
        if (answers[i].redirectRequestId == 0) continue;
        const uint32_t status = GetU32(statuses.data() + 4 * k++);
        if (!error.Succeeded()) {
            results[i] = error;
        } else if (bytes != statuses.size()) {
            results[i] = WrongByteCount();
        } else if (!NfeSucceeded(status)) {
            results[i] = FailureFor(NFE_IOCTL_PROCESS_REDIRECT, status);
        }
    }
    return true;
}

NfeDriverError NfeDeviceClient::FlowOperation(uint32_t idLow, uint32_t idHigh, uint32_t operation,
                                              uint32_t streamFlags, const std::vector<uint8_t>& data) {
    if (operation != NFE_FLOW_DETACH && operation != NFE_FLOW_INJECT) return BadArguments();
    NfeFlowOperation record;
    record.streamFlags = streamFlags;
    record.flowId = (uint64_t{idHigh} << 32) | idLow;
    record.operation = operation;
    record.data = data;
    uint32_t bytes = 0;
    return Request(NFE_IOCTL_FLOW_OPERATION, record.Encode(), nullptr, bytes);
}

bool NfeDeviceClient::FlowWrapper(const NfeEvent& event, const std::string& description,
                                  const std::wstring& applicationPath, uint32_t operation, uint32_t streamFlags,
                                  const std::vector<uint8_t>& data, const std::string& failureText) {
    NfeDriverError error = FlowOperation(static_cast<uint32_t>(event.flowId), static_cast<uint32_t>(event.flowId >> 32),
                                         operation, streamFlags, data);
    if (error.Succeeded()) return true;
    CLog(kLogError, event.processId, applicationPath.c_str())
        << description << failureText << " with error: " << error.message;
    return false;
}

bool NfeDeviceClient::DetachFlow(const NfeEvent& event, const std::string& description,
                                 const std::wstring& applicationPath) {
    return FlowWrapper(event, description, applicationPath, NFE_FLOW_DETACH, 0, {},
                       " Could not detach from flow " + std::to_string(event.flowId));
}

bool NfeDeviceClient::CloseFlow(const NfeEvent& event, const std::string& description,
                                const std::wstring& applicationPath) {
    return FlowWrapper(event, description, applicationPath, NFE_FLOW_INJECT,
                       NFE_STREAM_FLAG_RECEIVE | NFE_STREAM_FLAG_RECEIVE_DISCONNECT, {},
                       " Could not close flow " + std::to_string(event.flowId));
}

bool NfeDeviceClient::InjectOut(const NfeEvent& event, const std::string& description,
                                const std::wstring& applicationPath, const std::vector<uint8_t>& data) {
    return FlowWrapper(event, description, applicationPath, NFE_FLOW_INJECT, NFE_STREAM_FLAG_SEND, data,
                       " Could not inject data out to flow " + std::to_string(event.flowId));
}

bool NfeDeviceClient::InjectIn(const NfeEvent& event, const std::string& description,
                               const std::wstring& applicationPath, const std::vector<uint8_t>& data) {
    return FlowWrapper(event, description, applicationPath, NFE_FLOW_INJECT, NFE_STREAM_FLAG_RECEIVE, data,
                       " Could not inject data in to flow " + std::to_string(event.flowId));
}

bool NfeDeviceClient::Reinject(const NfeEvent& event, const std::string& description,
                               const std::wstring& applicationPath, uint32_t streamFlags,
                               const std::vector<uint8_t>& data) {
    return FlowWrapper(event, description, applicationPath, NFE_FLOW_INJECT, streamFlags, data,
                       " Could not reinject data to flow " + std::to_string(event.flowId) + "/" +
                           std::to_string(streamFlags));
}

}  // namespace hbt
