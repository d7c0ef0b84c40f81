#pragma once
// Framing of the engine device over a stream socket. On accept the engine
// sends a hello (magic, status); then the client sends requests and the engine
// answers each with a reply carrying the same id. Requests may be pipelined
// and replies come in any order. All integers little-endian.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine_protocol/engine_device.h"
#include "text/byte_scan.h"

namespace hbt {

inline constexpr uint32_t kDeviceHelloMagic = 0x31544248;  // "HBT1"
inline constexpr std::size_t kDeviceHelloSize = 8;
inline constexpr std::size_t kDeviceRequestHeaderSize = 24;
inline constexpr std::size_t kDeviceReplyHeaderSize = 16;
// Largest request input the engine accepts on the socket (a flow operation
// carries at most one captured event's data).
inline constexpr uint32_t kDeviceMaxRequestInput = 16u * 1024 * 1024;
// Largest reply output the program takes (an event is far smaller): a larger
// one is not the engine talking, and is not worth the memory.
inline constexpr uint32_t kDeviceMaxReplyOutput = 16u * 1024 * 1024;

struct DeviceHello {
    uint32_t magic = kDeviceHelloMagic;
    uint32_t status = 0;  // 0: the device is open for this client
};

struct DeviceRequestHeader {
    uint64_t id = 0;
    uint32_t controlCode = 0;
    uint32_t inputLength = 0;
    uint32_t outputCapacity = 0;
};

struct DeviceReplyHeader {
    uint64_t id = 0;
    uint32_t status = 0;
    uint32_t information = 0;
};

std::vector<uint8_t> EncodeDeviceHello(const DeviceHello& hello);
DeviceHello DecodeDeviceHello(const uint8_t* bytes);  // kDeviceHelloSize bytes

// Header followed by the input bytes.
std::vector<uint8_t> EncodeDeviceRequest(const DeviceRequestHeader& header, const std::vector<uint8_t>& input);
DeviceRequestHeader DecodeDeviceRequestHeader(const uint8_t* bytes);  // kDeviceRequestHeaderSize bytes

// Appends the reply header and, on success, the output bytes to `out`.
void AppendDeviceReply(uint64_t id, const DeviceReply& reply, std::vector<uint8_t>& out);
DeviceReplyHeader DecodeDeviceReplyHeader(const uint8_t* bytes);  // kDeviceReplyHeaderSize bytes
// Number of output bytes that follow a reply header.
std::size_t DeviceReplyOutputLength(const DeviceReplyHeader& header);

// The request at the start of the bytes a client sent so far, its header
// decoded into `header` once it is there. Malformed when its input is larger
// than kDeviceMaxRequestInput.
ByteScan ScanDeviceRequest(const uint8_t* bytes, std::size_t size, DeviceRequestHeader& header);
// The reply at the start of the bytes the engine sent so far. Malformed when
// its output is larger than kDeviceMaxReplyOutput.
ByteScan ScanDeviceReply(const uint8_t* bytes, std::size_t size, DeviceReplyHeader& header);

}  // namespace hbt
