#include "engine_protocol/nfe_event.h"

#include <algorithm>
#include <cstring>

#include "engine_protocol/byte_order.h"

namespace hbt {

namespace off = nfe_event_offset;

void NfeEvent::EncodeTo(uint8_t* out) const {
    std::memset(out, 0, kNfeEventHeaderSize);
    PutU32(out + off::kHeaderSize, kNfeEventHeaderSize);
    PutU32(out + off::kDataLength, static_cast<uint32_t>(data.size()));
    PutU32(out + off::kApplicationPathLength, applicationPathLength);
    PutU32(out + off::kType, type);
    PutU32(out + off::kProcessId, processId);
    std::memcpy(out + off::kUserSid, userSid.data(), userSid.size());
    PutU64(out + off::kFlowId, flowId);
    out[off::kInbound] = inbound;
    PutU64(out + off::kRedirectRequestId, redirectRequestId);
    PutU64(out + off::kEndpointHandle, endpointHandle);
    PutU32(out + off::kStreamFlags, streamFlags);
    PutU32(out + off::kAnswerFlags, answerFlags);
    PutU64(out + off::kQueueTime, queueTime);
    PutU64(out + off::kMessageStatus, messageStatus);
    PutU64(out + off::kMessageParameter, messageParameter);
    PutU32(out + off::kMessageSeverity, messageSeverity);
    std::memcpy(out + off::kSource, source.bytes.data(), kSocketAddressSlotSize);
    std::memcpy(out + off::kDestination, destination.bytes.data(), kSocketAddressSlotSize);
    if (!data.empty()) std::memcpy(out + kNfeEventHeaderSize, data.data(), data.size());
}

std::vector<uint8_t> NfeEvent::Encode() const {
    std::vector<uint8_t> out(EncodedSize());
    EncodeTo(out.data());
    return out;
}

NfeEvent NfeEvent::DecodeHeader(const uint8_t* in) {
    NfeEvent e;
    e.applicationPathLength = GetU32(in + off::kApplicationPathLength);
    e.type = GetU32(in + off::kType);
    e.processId = GetU32(in + off::kProcessId);
    std::memcpy(e.userSid.data(), in + off::kUserSid, e.userSid.size());
    e.flowId = GetU64(in + off::kFlowId);
    e.inbound = in[off::kInbound];
    e.redirectRequestId = GetU64(in + off::kRedirectRequestId);
    e.endpointHandle = GetU64(in + off::kEndpointHandle);
    e.streamFlags = GetU32(in + off::kStreamFlags);
    e.answerFlags = GetU32(in + off::kAnswerFlags);
    e.queueTime = GetU64(in + off::kQueueTime);
    e.messageStatus = GetU64(in + off::kMessageStatus);
    e.messageParameter = GetU64(in + off::kMessageParameter);
    e.messageSeverity = GetU32(in + off::kMessageSeverity);
    e.source = SocketAddressSlot::FromBytes(in + off::kSource);
    e.destination = SocketAddressSlot::FromBytes(in + off::kDestination);
    return e;
}

std::optional<NfeEvent> NfeEvent::Decode(const uint8_t* bytes, std::size_t size) {
    NfeEvent e;
    if (!DecodeInto(bytes, size, e)) return std::nullopt;
    return e;
}

bool NfeEvent::DecodeInto(const uint8_t* bytes, std::size_t size, NfeEvent& out) {
    if (size < kNfeEventHeaderSize) return false;
    if (GetU32(bytes + off::kHeaderSize) != kNfeEventHeaderSize) return false;
    uint32_t dataLength = GetU32(bytes + off::kDataLength);
    if (size - kNfeEventHeaderSize != dataLength) return false;
    std::vector<uint8_t> room = std::move(out.data);
    out = DecodeHeader(bytes);
    if (out.applicationPathLength > dataLength) return false;
    room.assign(bytes + kNfeEventHeaderSize, bytes + size);
    out.data = std::move(room);
    return true;
}

std::vector<uint8_t> NfeEvent::EncodeAnswer(uint64_t redirectRequestId, uint32_t answerFlags,
                                            const SocketAddressSlot& newDestination) {
    std::vector<uint8_t> out(kNfeEventHeaderSize);
    EncodeAnswerTo(out.data(), redirectRequestId, answerFlags, newDestination);
    return out;
}

void NfeEvent::EncodeAnswerTo(uint8_t* out, uint64_t redirectRequestId, uint32_t answerFlags,
                              const SocketAddressSlot& newDestination) {
    NfeEvent answer;
    answer.redirectRequestId = redirectRequestId;
    answer.answerFlags = answerFlags;
    answer.destination = newDestination;
    answer.EncodeTo(out);
}

NfeRedirectAnswer NfeEvent::DecodeAnswer(const uint8_t* bytes) {
    const NfeEvent header = DecodeHeader(bytes);
    return NfeRedirectAnswer{header.redirectRequestId, header.answerFlags, header.destination};
}

std::string NfeEvent::MessageText() const {
    std::size_t n = 0;
    while (n < data.size() && data[n] != 0) ++n;
    return std::string(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(n));
}

std::u16string NfeEvent::ApplicationPath() const {
    std::u16string path;
    std::size_t limit = std::min<std::size_t>(applicationPathLength, data.size()) / 2;
    for (std::size_t i = 0; i < limit; ++i) {
        char16_t c = static_cast<char16_t>(data[2 * i] | (data[2 * i + 1] << 8));
        if (c == 0) break;
        path.push_back(c);
    }
    return path;
}

std::size_t NfeEvent::ApplicationPathSize(const std::u16string& path) {
    return path.empty() ? 0 : 2 * (path.size() + 1);
}

void NfeEvent::SetApplicationPath(const std::u16string& path) {
    if (!path.empty()) {
        for (char16_t c : path) {
            data.push_back(static_cast<uint8_t>(c & 0xFF));
            data.push_back(static_cast<uint8_t>(c >> 8));
        }
        data.push_back(0);
        data.push_back(0);
    }
    applicationPathLength = static_cast<uint32_t>(data.size());
}

}  // namespace hbt
