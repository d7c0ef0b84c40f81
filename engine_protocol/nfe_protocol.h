#pragma once
// Control codes, event types, flags and status values that cross between the
// program and the interception engine. Both sides must agree byte for byte.
#include <cstdint>

namespace hbt {

inline constexpr uint32_t NFE_VERSION = 115;

// Network device type 0x12, buffered transfer, any access; function number 1 to 12.
constexpr uint32_t NfeControlCode(uint32_t function) { return (0x12u << 16) | (function << 2); }

inline constexpr uint32_t NFE_IOCTL_START = NfeControlCode(1);             // 0x120004
inline constexpr uint32_t NFE_IOCTL_STOP = NfeControlCode(2);              // 0x120008
inline constexpr uint32_t NFE_IOCTL_GET_VERSION = NfeControlCode(3);       // 0x12000C
inline constexpr uint32_t NFE_IOCTL_SET_CONFIG = NfeControlCode(4);        // 0x120010
inline constexpr uint32_t NFE_IOCTL_GET_EVENT = NfeControlCode(5);         // 0x120014
inline constexpr uint32_t NFE_IOCTL_PROCESS_REDIRECT = NfeControlCode(7);  // 0x12001C
inline constexpr uint32_t NFE_IOCTL_GET_COUNTERS = NfeControlCode(8);      // 0x120020
inline constexpr uint32_t NFE_IOCTL_FLOW_OPERATION = NfeControlCode(9);    // 0x120024
// Ours, beyond the original set: an engine that does not know it refuses it
// with kStatusInvalidParameter and goes on holding every connect.
inline constexpr uint32_t NFE_IOCTL_SET_PORT_RULES = NfeControlCode(10);   // 0x120028
// As NFE_IOCTL_GET_EVENT, but the completion holds as many whole queued events
// as fit in the output, one after the other (at least one).
inline constexpr uint32_t NFE_IOCTL_GET_EVENTS = NfeControlCode(11);       // 0x12002C
// Several redirect answers of 304 bytes each in one request; the output holds
// one u32 status per answer, in their order, and the request itself succeeds
// once its records were read.
inline constexpr uint32_t NFE_IOCTL_PROCESS_REDIRECTS = NfeControlCode(12);  // 0x120030

// Event types (NfeEvent offset 32). Type 3 is never produced.
inline constexpr uint32_t NFE_EVENT_MESSAGE = 1;
inline constexpr uint32_t NFE_EVENT_CONNECT_REDIRECT = 2;
inline constexpr uint32_t NFE_EVENT_FLOW_ESTABLISHED = 4;
inline constexpr uint32_t NFE_EVENT_FLOW_DELETED = 5;
inline constexpr uint32_t NFE_EVENT_STREAM_DATA = 6;

// Answer flags of a redirect answer (NfeEvent offset 204).
inline constexpr uint32_t NFE_ANSWER_PERMIT = 1;
inline constexpr uint32_t NFE_ANSWER_REDIRECT = 2;
inline constexpr uint32_t NFE_ANSWER_INSPECT = 4;

// Flow operations (NfeFlowOperation offset 24).
inline constexpr uint32_t NFE_FLOW_DETACH = 1;
inline constexpr uint32_t NFE_FLOW_INJECT = 2;

// Stream-data flag bits (event offset 200, flow operation offset 8).
inline constexpr uint32_t NFE_STREAM_FLAG_RECEIVE = 0x00000001;
inline constexpr uint32_t NFE_STREAM_FLAG_RECEIVE_EXPEDITED = 0x00000002;
inline constexpr uint32_t NFE_STREAM_FLAG_RECEIVE_DISCONNECT = 0x00000004;
inline constexpr uint32_t NFE_STREAM_FLAG_RECEIVE_ABORT = 0x00000008;
inline constexpr uint32_t NFE_STREAM_FLAG_SEND = 0x00010000;
inline constexpr uint32_t NFE_STREAM_FLAG_SEND_EXPEDITED = 0x00020000;
inline constexpr uint32_t NFE_STREAM_FLAG_SEND_DISCONNECT = 0x00080000;
inline constexpr uint32_t NFE_STREAM_FLAG_SEND_ABORT = 0x00100000;

// Message severities (NfeEvent offset 232).
inline constexpr uint32_t NFE_SEVERITY_ERROR = 0;
inline constexpr uint32_t NFE_SEVERITY_INFORMATION = 1;

// NTSTATUS values the engine returns.
inline constexpr uint32_t kStatusSuccess = 0x00000000;
inline constexpr uint32_t kStatusUnsuccessful = 0xC0000001;
inline constexpr uint32_t kStatusInvalidParameter = 0xC000000D;
inline constexpr uint32_t kStatusNoMemory = 0xC0000017;
inline constexpr uint32_t kStatusAccessDenied = 0xC0000022;
inline constexpr uint32_t kStatusBufferTooSmall = 0xC0000023;
inline constexpr uint32_t kStatusObjectTypeMismatch = 0xC0000024;
inline constexpr uint32_t kStatusServerDisabled = 0xC0000080;     // engine not started
inline constexpr uint32_t kStatusInvalidParameter1 = 0xC00000EF;  // record size field wrong
inline constexpr uint32_t kStatusInvalidParameter2 = 0xC00000F0;  // a length field wrong
inline constexpr uint32_t kStatusInvalidParameter3 = 0xC00000F1;  // host patterns not terminated
inline constexpr uint32_t kStatusCancelled = 0xC0000120;
inline constexpr uint32_t kStatusNoSuchRedirect = 0xC0000151;     // answer id matches no request
inline constexpr uint32_t kStatusNotConfigured = 0xC0000182;      // start before a configuration
inline constexpr uint32_t kStatusInvalidBufferSize = 0xC0000206;
inline constexpr uint32_t kStatusNotFound = 0xC0000225;
inline constexpr uint32_t kStatusAlreadyStarted = 0xC0000718;

inline constexpr bool NfeSucceeded(uint32_t status) { return (status & 0x80000000u) == 0; }

}  // namespace hbt
