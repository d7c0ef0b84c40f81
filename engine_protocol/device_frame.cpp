#include "engine_protocol/device_frame.h"

#include "engine_protocol/byte_order.h"
#include "engine_protocol/nfe_protocol.h"

namespace hbt {

std::vector<uint8_t> EncodeDeviceHello(const DeviceHello& hello) {
    std::vector<uint8_t> out(kDeviceHelloSize);
    PutU32(&out[0], hello.magic);
    PutU32(&out[4], hello.status);
    return out;
}

DeviceHello DecodeDeviceHello(const uint8_t* bytes) { return DeviceHello{GetU32(bytes), GetU32(bytes + 4)}; }

std::vector<uint8_t> EncodeDeviceRequest(const DeviceRequestHeader& header, const std::vector<uint8_t>& input) {
    std::vector<uint8_t> out(kDeviceRequestHeaderSize);
    PutU64(&out[0], header.id);
    PutU32(&out[8], header.controlCode);
    PutU32(&out[12], static_cast<uint32_t>(input.size()));
    PutU32(&out[16], header.outputCapacity);
    PutU32(&out[20], 0);
    out.insert(out.end(), input.begin(), input.end());
    return out;
}

DeviceRequestHeader DecodeDeviceRequestHeader(const uint8_t* bytes) {
    return DeviceRequestHeader{GetU64(bytes), GetU32(bytes + 8), GetU32(bytes + 12), GetU32(bytes + 16)};
}

void AppendDeviceReply(uint64_t id, const DeviceReply& reply, std::vector<uint8_t>& out) {
    const std::size_t start = out.size();
    out.resize(start + kDeviceReplyHeaderSize);
    PutU64(&out[start], id);
    PutU32(&out[start + 8], reply.status);
    const bool withOutput = NfeSucceeded(reply.status);
    const uint32_t information = withOutput ? static_cast<uint32_t>(reply.output.size()) : reply.information;
    PutU32(&out[start + 12], information);
    if (withOutput) out.insert(out.end(), reply.output.begin(), reply.output.end());
}

DeviceReplyHeader DecodeDeviceReplyHeader(const uint8_t* bytes) {
    return DeviceReplyHeader{GetU64(bytes), GetU32(bytes + 8), GetU32(bytes + 12)};
}

std::size_t DeviceReplyOutputLength(const DeviceReplyHeader& header) {
    return NfeSucceeded(header.status) ? header.information : 0;
}

ByteScan ScanDeviceRequest(const uint8_t* bytes, std::size_t size, DeviceRequestHeader& header) {
    if (size < kDeviceRequestHeaderSize) return ByteScan::NeedMore();
    header = DecodeDeviceRequestHeader(bytes);
    if (header.inputLength > kDeviceMaxRequestInput) return ByteScan::Malformed("request input too large");
    const std::size_t frameSize = kDeviceRequestHeaderSize + header.inputLength;
    return size < frameSize ? ByteScan::NeedMore() : ByteScan::Complete(frameSize);
}

ByteScan ScanDeviceReply(const uint8_t* bytes, std::size_t size, DeviceReplyHeader& header) {
    if (size < kDeviceReplyHeaderSize) return ByteScan::NeedMore();
    header = DecodeDeviceReplyHeader(bytes);
    const std::size_t outputLength = DeviceReplyOutputLength(header);
    if (outputLength > kDeviceMaxReplyOutput) return ByteScan::Malformed("reply output too large");
    const std::size_t frameSize = kDeviceReplyHeaderSize + outputLength;
    return size < frameSize ? ByteScan::NeedMore() : ByteScan::Complete(frameSize);
}

}  // namespace hbt
