#pragma once
// HeldStream: one direction of an inspected connection as the stream queue
// sees it: where the new bytes start, which packets are held back (captured
// segments the engine will give back), and which held packets an injection
// releases. Sequence numbers wrap around.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace hbt {

struct HeldPacket {
    uint32_t packetId = 0;
    uint32_t sequence = 0;
    uint32_t endSequence = 0;     // past the last byte (and the FIN)
    std::vector<uint8_t> data;    // the captured bytes
    std::vector<uint8_t> packet;  // the whole IP packet, to rewrite it if needed
};

class HeldStream {
public:
    enum class Kind {
        kNew,             // carries bytes not seen before
        kHeldRetransmit,  // repeats bytes that are held: must not pass before them
        kOld,             // repeats bytes that already passed
    };

    // `segmentLength` counts a FIN as one byte. For kNew, *newOffset is where
    // the unseen bytes begin in the payload.
    Kind Classify(uint32_t sequence, std::size_t segmentLength, std::size_t* newOffset);

    void Hold(HeldPacket packet) { held_.push_back(std::move(packet)); }
    bool Empty() const { return held_.empty(); }
    const HeldPacket& Front() const { return held_.front(); }

    // Gives back `data`, which must be the next held bytes not yet given back
    // (an empty `data` matches a held empty packet, a bare FIN); nullopt
    // otherwise. Returns the packets now given back whole; a packet given back
    // in part stays held until the rest of it follows.
    std::optional<std::vector<HeldPacket>> TakeMatching(const std::vector<uint8_t>& data);
    std::vector<HeldPacket> TakeAll();
    // Takes out one held packet; nullopt when it is no longer held.
    std::optional<HeldPacket> TakePacket(uint32_t packetId);

private:
    bool started_ = false;
    uint32_t next_ = 0;
    std::vector<HeldPacket> held_;  // oldest first; costs no allocation while empty, as for flows not inspected
    std::size_t givenBack_ = 0;  // bytes of the front packets already given back
};

}  // namespace hbt
