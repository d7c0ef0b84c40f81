#pragma once
// NfeEvent: the 304-byte header plus data that carries every engine event to
// the program, and (header only) the program's redirect answers.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine_protocol/socket_address_slot.h"

namespace hbt {

inline constexpr uint32_t kNfeEventHeaderSize = 304;
inline constexpr uint32_t kNfeEventMaxDataLength = 1000000;
inline constexpr std::size_t kNfeSidSize = 128;

// The program's answer to a connect-redirect event, as the engine reads it.
struct NfeRedirectAnswer {
    uint64_t redirectRequestId = 0;
    uint32_t answerFlags = 0;
    SocketAddressSlot newDestination;  // read only for a redirect
};

struct NfeEvent {
    uint32_t type = 0;
    uint32_t applicationPathLength = 0;  // data bytes holding the path (types 2 and 4)
    uint32_t processId = 0;
    std::array<uint8_t, kNfeSidSize> userSid{};
    uint64_t flowId = 0;
    uint8_t inbound = 0;
    uint64_t redirectRequestId = 0;
    uint64_t endpointHandle = 0;
    uint32_t streamFlags = 0;
    uint32_t answerFlags = 0;
    uint64_t queueTime = 0;  // 100 ns units
    uint64_t messageStatus = 0;
    uint64_t messageParameter = 0;
    uint32_t messageSeverity = 0;
    SocketAddressSlot source;
    SocketAddressSlot destination;
    std::vector<uint8_t> data;

    std::size_t EncodedSize() const { return kNfeEventHeaderSize + data.size(); }
    // Writes EncodedSize() bytes.
    void EncodeTo(uint8_t* out) const;
    std::vector<uint8_t> Encode() const;

    // Reads the header fields of a record of at least 304 bytes; data is left empty.
    static NfeEvent DecodeHeader(const uint8_t* bytes);
    // A whole event: header size 304 and size == 304 + data length; nullopt otherwise.
    static std::optional<NfeEvent> Decode(const uint8_t* bytes, std::size_t size);
    // As Decode, into `out`, whose data keeps its room for the next event; false when not whole.
    static bool DecodeInto(const uint8_t* bytes, std::size_t size, NfeEvent& out);

    // The redirect answer record for a connect-redirect event (304 bytes).
    static std::vector<uint8_t> EncodeAnswer(uint64_t redirectRequestId, uint32_t answerFlags,
                                             const SocketAddressSlot& newDestination = {});
    // The same record, written to the 304 bytes at `out`.
    static void EncodeAnswerTo(uint8_t* out, uint64_t redirectRequestId, uint32_t answerFlags,
                               const SocketAddressSlot& newDestination);
    // The answer fields of a record of at least 304 bytes.
    static NfeRedirectAnswer DecodeAnswer(const uint8_t* bytes);

    // Type 1: the message text without its terminating zero.
    std::string MessageText() const;
    // Types 2 and 4: the application path, UTF-16 without its terminating zero.
    std::u16string ApplicationPath() const;
    // Puts the path at the start of an empty data block as little-endian
    // UTF-16 with its terminating zero, and sets applicationPathLength; an
    // empty path takes no bytes.
    void SetApplicationPath(const std::u16string& path);
    // The data bytes SetApplicationPath writes for the path.
    static std::size_t ApplicationPathSize(const std::u16string& path);
};

// Offsets inside the header, for code that checks raw records before decoding.
namespace nfe_event_offset {
inline constexpr std::size_t kHeaderSize = 0;
inline constexpr std::size_t kDataLength = 24;
inline constexpr std::size_t kApplicationPathLength = 28;
inline constexpr std::size_t kType = 32;
inline constexpr std::size_t kProcessId = 36;
inline constexpr std::size_t kUserSid = 40;
inline constexpr std::size_t kFlowId = 168;
inline constexpr std::size_t kInbound = 176;
inline constexpr std::size_t kRedirectRequestId = 184;
inline constexpr std::size_t kEndpointHandle = 192;
inline constexpr std::size_t kStreamFlags = 200;
inline constexpr std::size_t kAnswerFlags = 204;
inline constexpr std::size_t kQueueTime = 208;
inline constexpr std::size_t kMessageStatus = 216;
inline constexpr std::size_t kMessageParameter = 224;
inline constexpr std::size_t kMessageSeverity = 232;
inline constexpr std::size_t kSource = 248;
inline constexpr std::size_t kDestination = 276;
}  // namespace nfe_event_offset

}  // namespace hbt
