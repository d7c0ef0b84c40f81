#pragma once
// The segments the platform writes itself, beside the ones it holds and
// rewrites: the reset that ends a closed connection at the remote end, the
// refusal that reaches the application as its peer's answer, and the raw
// socket they leave on.
#include <cstdint>
#include <optional>
#include <vector>

#include "HbtEngineDrv/netfilter/held_stream.h"
#include "HbtEngineDrv/netfilter/tcp_packet.h"

namespace hbt {

struct RawSegment {
    TcpPacket header;            // where it goes: header.destination
    std::vector<uint8_t> bytes;  // the whole IP packet
};

// The reset that tells the remote end a connection is over, built from a held
// packet: in place of the application's held segment, or as the
// application's answer to the peer's held segment. Empty with nothing held.
std::optional<RawSegment> RemoteResetFor(const HeldStream& send, const HeldStream& receive);

// `payload` as the peer's answer to the held outgoing packet, towards the
// application. nullopt when the held packet does not parse.
std::optional<RawSegment> AnswerTo(const HeldPacket& outgoing, const std::vector<uint8_t>& payload);

// Sends the segment on a raw socket carrying the engine's mark, so the rules
// let it pass. Returns 0 or an errno.
int SendRawSegment(const RawSegment& segment);

}  // namespace hbt
