#pragma once
// Packet and connection marks of the engine's rules. Each mark is compared as
// a whole value; the high byte tags it as ours.
#include <cstdint>

namespace hbt {

// Packet mark of the engine's own sockets (SO_MARK): never queued.
inline constexpr uint32_t kMarkOwnSocket = 0x48420001;
// Packet mark of an inspected connect; saved to the connection mark.
inline constexpr uint32_t kMarkInspect = 0x48420002;
// Connection marks.
inline constexpr uint32_t kConnMarkInspect = kMarkInspect;
inline constexpr uint32_t kConnMarkReleased = 0x48420003;  // inspection ended: nothing is queued
inline constexpr uint32_t kConnMarkBlocked = 0x48420004;   // closed towards the application: dropped
// Packet marks of redirected connects: one per redirect target in use (see
// RedirectMarks for how they are handed out).
inline constexpr uint32_t kMarkRedirectBase = 0x48430000;
inline constexpr uint32_t kMaxRedirectTargets = 0xFFFF;
// The connection marks above share this prefix (mask kMarkTagMask).
inline constexpr uint32_t kMarkTag = 0x48420000;
inline constexpr uint32_t kMarkTagMask = 0xFFFF0000;

}  // namespace hbt
